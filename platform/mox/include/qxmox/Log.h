// The platform's system log: QX_HOME/log/qx.log, and syslog when QX_SYSLOG=1.
#pragma once

#include "qxmox/Exception.h"
#include "qxmox/Message.h"

namespace QxMoxLog {

// Log appends one line per message: UTC time, severity, program name and process id, catalog
// name and number, the formatted text and its details. Each line is one write to a file opened
// with O_APPEND, so processes sharing the log never interleave inside a line. Throws
// LogException_t when the log cannot be written.
void Log(const QxMoxMsg::MessageList_t& messages);
void Log(const QxMoxMsg::Message_t& message);

}  // namespace QxMoxLog
