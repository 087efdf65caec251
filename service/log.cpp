// SPDX-License-Identifier: MIT
#include "service/log.h"

#include <syslog.h>

namespace {

bool g_logOpen = false;

void writeLine(int priority, const std::string& line) {
  if (g_logOpen) syslog(priority, "%s", line.c_str());
}

}  // namespace

void log_open() {
  // LOG_NDELAY is left out on purpose: a descriptor opened now would be closed under syslog's feet
  // when the daemon detaches, and its number reused for a socket of ours.
  openlog("tokenbridged", LOG_PID, LOG_DAEMON);
  g_logOpen = true;
}

void log_info(const std::string& line) { writeLine(LOG_INFO, line); }
void log_warning(const std::string& line) { writeLine(LOG_WARNING, line); }
void log_error(const std::string& line) { writeLine(LOG_ERR, line); }
