// What the acquisition thread knows about the records and alarms that an
// equipment delivers and the database has, or may have, taken: which are
// held for the next visit, which are in doubt, and how one delivered again
// is recognised so that it is stored exactly once.
//
// Held. A history record or an alarm that could not be stored for a reason
// of the database, not of the row (the connection lost, or a refusal:
// permissions, I/O or a full disk, lock conflicts, a database shut down,
// see EDatabaseFault) is held: one per channel and one per equipment, since
// the visit ends at the first one. It is offered before anything else of
// its channel or equipment at the next visit, and nothing later of its
// channel or equipment is stored ahead of it. It is held in memory for as
// long as the database keeps refusing; a stop loses it, and loses nothing:
// the from-dates of the next start come from the database, so the
// equipment delivers it again.
//
// In doubt. A held record or alarm whose commit was cut by a lost
// connection may have reached the server.
//
// Recognised. After a start, the equipment delivers again what lies after
// the from-dates the loader read. A history record whose stored minute is
// at or before the newest row the channel held at its first visit (that
// row's date whatever it is, also ahead of the server's clock), an alarm
// dated at or before the newest row the equipment held, and a record or
// alarm in doubt may already be stored. Such one is looked up: rows alike
// (one channel, one stored minute, one value, compared as SQL compares
// them: -0.0 and 0.0 are one; one equipment, one date, one class, one text)
// are told apart by number, the k-th delivered of its kind
// being stored iff the database holds k or more. So that every record of
// the channel's newest minute is delivered again and counted, the first
// visit moves the channel's from-date back to just before that minute.
// Nothing of this is kept on disk: a restart reads it again from the
// database.
//
// Threads: the acquisition thread only. The database reads go through
// TmodDatabase's look-ups (LookupTrans) and throw
// EDatabaseError; a caller treats such a throw like a failed store.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "platform/DateTime.h"

class KxCanal;
class TmodDatabase;

class KxDeliveryLedger {
 public:
  struct HeldRecord {
    TDateTime date;  // as delivered
    float value;
  };
  struct HeldAlarm {
    TDateTime date;
    std::string texto;
    int32_t classe;
  };

  explicit KxDeliveryLedger(TmodDatabase& database) : db_(&database) {}

  // First thing of every visit of a channel. At the first one, reads the
  // channel's newest stored row and moves its from-date (UltimaData) back
  // to just before the start of that row's minute when it is that of a row
  // the channel holds. Throws EDatabaseError: the channel then waits for
  // the next visit, nothing read.
  void BeginChannel(KxCanal& canal);
  // True when the record (its date as delivered, its stored date and its
  // value) is stored already and must not be stored again. Counts it as
  // stored either way only through NoteStored.
  bool IsStored(int32_t canalId, TDateTime date, TDateTime stored, float value);
  // After every committed row, and after every record IsStored recognised.
  void NoteStored(int32_t canalId, TDateTime stored, float value);
  // A record not stored for a reason of the database; `inDoubt` when its
  // commit was cut.
  void Hold(int32_t canalId, TDateTime date, float value, bool inDoubt);
  std::optional<HeldRecord> TakeHeld(int32_t canalId);

  // The same for the alarms of an equipment.
  void BeginAlarms(int32_t equipId);  // throws EDatabaseError, as BeginChannel
  bool IsStored(int32_t equipId, const HeldAlarm& alarm);
  void NoteStored(int32_t equipId, const HeldAlarm& alarm);
  void Hold(int32_t equipId, const HeldAlarm& alarm, bool inDoubt);
  std::optional<HeldAlarm> TakeHeldAlarm(int32_t equipId);

 private:
  // Per channel: the newest stored row at the first visit, the record in
  // doubt, and the rows of the current stored minute counted by value.
  struct Channel {
    bool begun = false;
    int64_t storedUpTo = -1;  // ms of the newest row; -1: none
    std::optional<std::tuple<int64_t, uint32_t>> inDoubt;  // date ms, value bits
    int64_t minute = -1;
    std::map<uint32_t, int64_t> count;
    std::optional<HeldRecord> held;
  };
  struct Equipment {
    bool begun = false;
    int64_t storedUpTo = -1;
    std::optional<std::tuple<int64_t, int32_t, std::string>> inDoubt;
    int64_t dateMs = -1;
    std::map<std::tuple<int32_t, std::string>, int64_t> count;
    std::optional<HeldAlarm> held;
  };
  int64_t Ordinal(const Channel& c, int64_t minute, uint32_t bits) const;
  int64_t Ordinal(const Equipment& e, int64_t dateMs, const HeldAlarm& alarm) const;

  TmodDatabase* db_;  // not owned; a pointer so that a ledger can be moved to a new thread
  std::map<int32_t, Channel> channels_;
  std::map<int32_t, Equipment> equipments_;
};
