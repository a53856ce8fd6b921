#include "store/kept_table.h"

#include <string>
#include <unordered_map>

namespace reposa::server {

KeptTable::KeptTable(sqlite3* db)
    : db_(db),
      keep_(db,
            "INSERT INTO kept_messages(id, recipient, sender, sender_display, user_class, "
            "message, sent_at) SELECT ?1, ?2, ?3, ?4, ?5, ?6, ?7 "
            "WHERE EXISTS (SELECT 1 FROM accounts WHERE name = ?2)"),
      forget_(db, "DELETE FROM kept_messages WHERE recipient = ?1 AND id <= ?2"),
      forgetAll_(db, "DELETE FROM kept_messages WHERE recipient = ?1") {}

void KeptTable::Keep(std::string_view recipient, const StoredMessage& m) {
  keep_.Bind(1, m.id)
      .Bind(2, recipient)
      .Bind(3, m.sender)
      .Bind(4, m.senderDisplay)
      .Bind(5, m.userClass)
      .Bind(6, m.text)
      .Bind(7, m.sentAt)
      .Run();
}

void KeptTable::Forget(std::string_view recipient, std::int64_t through) {
  forget_.Bind(1, recipient).Bind(2, through).Run();
}

void KeptTable::ForgetAll(std::string_view recipient) {
  forgetAll_.Bind(1, recipient).Run();
}

void KeptTable::LoadInto(std::vector<StoredAccount>& accounts) {
  std::unordered_map<std::string_view, StoredAccount*> byName;
  for (StoredAccount& a : accounts) byName.emplace(a.name, &a);
  Statement s(db_,
              "SELECT recipient, id, sender, sender_display, user_class, message, sent_at "
              "FROM kept_messages ORDER BY id");
  while (s.Step()) {
    auto it = byName.find(s.Text(0));
    if (it == byName.end()) continue;
    it->second->kept.push_back(
        StoredMessage{s.Int(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5), s.Int(6)});
  }
}

}  // namespace reposa::server
