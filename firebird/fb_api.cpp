#include "firebird/fb_api.h"

#include <ibase.h>

#include <cmath>
#include <vector>

namespace quirada {

Firebird::IUtil* FbUtil() {
  static Firebird::IUtil* util = FbMaster()->getUtilInterface();
  return util;
}

std::string FormatStatus(Firebird::IStatus* status) {
  std::vector<char> buffer(4096);
  for (;;) {
    const unsigned n = FbUtil()->formatStatus(buffer.data(), static_cast<unsigned>(buffer.size()), status);
    if (n < buffer.size() - 1 || buffer.size() >= 65536) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

bool IsConnectionLost(Firebird::IStatus* status) {
  const intptr_t* v = status->getErrors();
  while (v && v[0] != isc_arg_end) {
    if (v[0] == isc_arg_gds) {
      switch (v[1]) {
        case isc_network_error:
        case isc_net_read_err:
        case isc_net_write_err:
        case isc_lost_db_connection:
        case isc_conn_lost:
        case isc_att_shutdown:
        case isc_shutdown:
        case isc_net_server_shutdown:
          return true;
        default:
          break;
      }
    }
    // Every item of the vector is a pair, except the string-with-length form, a triple.
    v += v[0] == isc_arg_cstring ? 3 : 2;
  }
  return false;
}

namespace {

// Whether the status vector holds the error `code`.
bool HasError(Firebird::IStatus* status, intptr_t code) {
  const intptr_t* v = status->getErrors();
  while (v && v[0] != isc_arg_end) {
    if (v[0] == isc_arg_gds && v[1] == code) return true;
    v += v[0] == isc_arg_cstring ? 3 : 2;
  }
  return false;
}

}  // namespace

DatabaseFailureKind FailureKindOf(Firebird::IStatus* status) {
  DatabaseFailureKind kind;
  kind.connection_lost = IsConnectionLost(status);
  kind.key_violation = HasError(status, isc_unique_key_violation) || HasError(status, isc_no_dup);
  kind.transliteration_failed = HasError(status, isc_transliteration_failed);
  kind.login_refused = HasError(status, isc_login);
  kind.lock_conflict = HasError(status, isc_lock_conflict) || HasError(status, isc_lock_timeout) ||
                       HasError(status, isc_deadlock) || HasError(status, isc_update_conflict);
  kind.cancelled = HasError(status, isc_cancelled);
  kind.no_permission = HasError(status, isc_no_priv);
  return kind;
}

DatabaseError ToDatabaseError(const Firebird::FbException& e) {
  return DatabaseError(FormatStatus(e.getStatus()), FailureKindOf(e.getStatus()));
}

namespace {

constexpr unsigned kFractionsPerMs = 10;  // ISC_TIME counts 1/10000 s

}  // namespace

ISC_DATE ToIscDate(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  return FbUtil()->encodeDate(static_cast<unsigned>(p.year), static_cast<unsigned>(p.month),
                              static_cast<unsigned>(p.day));
}

ISC_TIME ToIscTime(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  return FbUtil()->encodeTime(static_cast<unsigned>(p.hour), static_cast<unsigned>(p.minute),
                              static_cast<unsigned>(p.second),
                              static_cast<unsigned>(p.millisecond) * kFractionsPerMs);
}

ISC_TIMESTAMP ToIscTimestamp(TDateTime value) {
  return ISC_TIMESTAMP{ToIscDate(value), ToIscTime(value)};
}

TDateTime FromIscDate(ISC_DATE date) {
  unsigned y = 0, m = 0, d = 0;
  FbUtil()->decodeDate(date, &y, &m, &d);
  DateTimeParts p;
  p.year = static_cast<int>(y);
  p.month = static_cast<int>(m);
  p.day = static_cast<int>(d);
  return EncodeDateTime(p);
}

TDateTime FromIscTime(ISC_TIME time) {
  unsigned h = 0, mi = 0, s = 0, f = 0;
  FbUtil()->decodeTime(time, &h, &mi, &s, &f);
  DateTimeParts p;
  p.hour = static_cast<int>(h);
  p.minute = static_cast<int>(mi);
  p.second = static_cast<int>(s);
  p.millisecond = static_cast<int>(f / kFractionsPerMs);
  return EncodeDateTime(p);
}

TDateTime FromIscTimestamp(const ISC_TIMESTAMP& ts) {
  unsigned y = 0, m = 0, d = 0, h = 0, mi = 0, s = 0, f = 0;
  FbUtil()->decodeDate(ts.timestamp_date, &y, &m, &d);
  FbUtil()->decodeTime(ts.timestamp_time, &h, &mi, &s, &f);
  DateTimeParts p;
  p.year = static_cast<int>(y);
  p.month = static_cast<int>(m);
  p.day = static_cast<int>(d);
  p.hour = static_cast<int>(h);
  p.minute = static_cast<int>(mi);
  p.second = static_cast<int>(s);
  p.millisecond = static_cast<int>(f / kFractionsPerMs);
  return EncodeDateTime(p);
}

}  // namespace quirada
