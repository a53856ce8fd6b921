#pragma once

// The store room: what the server keeps of its accounts beyond one run, and
// the committer that writes the service's changes out before their answers
// leave. This header is the seam: the rest of the server reaches a store
// only through AccountStore, so another backend (a network database shared
// by several server processes) fits in beside the SQLite file without the
// service knowing. The store depends on the service's account model, never
// the other way round.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "service/stored_lists.h"

namespace reposa::server {

// A store that cannot read or write right now; the message says why.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An instant message kept for an account until it is handed over.
struct StoredMessage {
  std::int64_t id = 0;  // orders them; unique in the store
  std::string sender;   // normalised
  std::string senderDisplay;
  std::string userClass;
  std::string text;
  std::int64_t sentAt = 0;  // seconds since the epoch
};

// One account as kept: its names, its password hash and its lists as text.
struct StoredAccount {
  std::string name;                         // normalised
  std::string display;                      // as shown
  std::optional<std::string> passwordHash;  // none: an account of an open server
  std::string lists;                        // the stored configuration lines, "m:" to "d:"
  std::int64_t lastSignOn = 0;              // seconds since the epoch; 0: never
  std::vector<StoredMessage> kept = {};     // oldest first; filled by LoadAll
  // False when `lists` was not read (LoadAll): Load(name) reads them.
  bool listsRead = true;
};

struct StoredChange {
  enum class Kind {
    Lists,   // display and lists; the password hash stays as it is (none for a new row)
    Whole,   // the whole row, password hash included
    Remove,  // the row goes, with its lists and kept messages
    Edits,   // display (a new row when there is none), and `edits` to its lists
    SignOn,  // only the time of the last sign-on (a new row gets the display name too)
    Keep,    // `message` is kept for the account `row.name`, if it still exists
    Forget,  // the kept messages of `row.name` up to id `message.id` go
  };
  Kind kind;
  // Only `name` counts for Remove, Keep and Forget; `lists` does not count
  // for Edits.
  StoredAccount row;
  // Edits: the rows of the lists added and removed, in order; only these
  // are written, never the whole lists.
  std::vector<ListEdit> edits = {};
  bool password = false;  // Edits: the password hash changed too
  StoredMessage message = {};
};

class AccountStore {
 public:
  virtual ~AccountStore() = default;

  // Names the store in log lines and messages: its file, or its server.
  virtual const std::string& where() const = 0;
  // Both throw StoreError when the store cannot be read. LoadAll may leave
  // the lists unread (StoredAccount::listsRead), for Load to read later.
  virtual std::vector<StoredAccount> LoadAll() = 0;
  virtual std::optional<StoredAccount> Load(std::string_view name) = 0;
  // Makes every change durable, or none of them: false (the cause in
  // lastError()) leaves the store as it was.
  virtual bool Apply(std::span<const StoredChange> changes) = 0;
  virtual const std::string& lastError() const = 0;

  // An online copy of the store in a new file, made a little at a time so
  // the server goes on meanwhile. Throws StoreError when it cannot start.
  class Backup {
   public:
    virtual ~Backup() = default;
    // Copies the next part; true once the copy is whole and in place.
    // Throws StoreError. A backup dropped before then leaves no file.
    virtual bool Step() = 0;
    // True while the next Step would only find the copy still being
    // flushed: the caller asks again a little later rather than at once.
    virtual bool Flushing() const { return false; }
  };
  virtual std::unique_ptr<Backup> StartBackup(const std::string& file) {
    throw StoreError("cannot back up " + where() + " to " + file + ": not supported by this store");
  }
};

}  // namespace reposa::server
