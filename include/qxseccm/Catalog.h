// Catalog: the library's message catalog "sec.cm.client" and its table of default texts.
#pragma once

#include <span>

#include "qxmox/Message.h"

namespace QxSecCm {

// Catalog gives the one message catalog of the library and builds its numbered messages.
class Catalog {
 public:
  // Entry is one row of the table: a message number and its default text (the text of record).
  struct Entry {
    int number;
    const char* text;
  };

  // GetCatalog returns the catalog named "sec.cm.client", built on the first call and read-only
  // afterwards; it lives until the process ends.
  static const QxMoxMsg::MessageCatalog_t& GetCatalog();

  // Text returns the default text of number, or the empty text for a number not in the table.
  static const char* Text(int number);
  // Has is true when number is in the table.
  static bool Has(int number);
  // Entries returns the whole table, ordered by number.
  static std::span<const Entry> Entries();

  // Warn, Error, Info and Plain build message number of this catalog with its default text, at
  // warning, error, information or no severity (CreateWarn_t, CreateError_t, CreateInfo_t,
  // CreateMessage_t with severity 0). Append arguments with << and causes with AddDetails.
  static QxMoxMsg::Message_t Warn(int number);
  static QxMoxMsg::Message_t Error(int number);
  static QxMoxMsg::Message_t Info(int number);
  static QxMoxMsg::Message_t Plain(int number);
};

}  // namespace QxSecCm
