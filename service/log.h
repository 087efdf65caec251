// SPDX-License-Identifier: MIT
// Lines for the operator in the system log: ident "tokenbridged", facility daemon (journald picks
// them up). Once detached the daemon has no console, so this is all an operator sees of it.
// Callers pass whole lines of their own making: never a PIN, never a client's bytes but a refused
// request's Origin, escaped and cut short (net/refusal_log.h).
#pragma once

#include <string>

// Nothing is written before this call, so tests that run the dispatcher inside their own process
// leave the system log alone. Opens no descriptor: the connection to /dev/log is made by the first
// line, after the daemon has closed the descriptors it inherited.
void openLog();

void logInfo(const std::string& line);
void logWarning(const std::string& line);
void logError(const std::string& line);
