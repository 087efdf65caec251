// SPDX-License-Identifier: MIT
#include "service/log.h"

#include <syslog.h>

namespace {

bool g_logOpen = false;

void writeLine(int priority, const std::string& line) {
  if (g_logOpen) syslog(priority, "%s", line.c_str());
}

}  // namespace

void openLog() {
  // LOG_NDELAY is left out on purpose: a descriptor opened now would be closed under syslog's feet
  // when the daemon detaches, and its number reused for a socket of ours.
  openlog("tokenbridged", LOG_PID, LOG_DAEMON);
  g_logOpen = true;
}

void logInfo(const std::string& line) { writeLine(LOG_INFO, line); }
void logWarning(const std::string& line) { writeLine(LOG_WARNING, line); }
void logError(const std::string& line) { writeLine(LOG_ERR, line); }
