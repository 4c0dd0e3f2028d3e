#include "database/EDatabaseError.h"

#include <algorithm>
#include <utility>

EDatabaseError::EDatabaseError(const std::string& message, std::vector<intptr_t> codes)
    : std::runtime_error(message), codes_(std::move(codes)) {}

bool EDatabaseError::HasCode(intptr_t code) const {
  return std::find(codes_.begin(), codes_.end(), code) != codes_.end();
}

bool EDatabaseError::ConnectionLost() const {
  // Errors of the connection itself, not of the statement: the network, the
  // server or the database going away, or an attachment that is no longer
  // valid. Any of them anywhere in the status vector counts.
  static constexpr intptr_t kLost[] = {
      335544324,  // isc_bad_db_handle: attachment no longer valid
      335544375,  // isc_unavailable: server unavailable
      335544421,  // isc_connect_reject: connection rejected by remote interface
      335544506,  // isc_shutinprog: database shutdown in progress
      335544528,  // isc_shutdown: database shut down
      335544648,  // isc_conn_lost: connection lost to pipe server
      335544704,  // isc_net_lookup_err: host lookup failed
      335544719,  // isc_net_init_error: network initialisation failed
      335544721,  // isc_network_error: unable to complete network request
      335544722,  // isc_net_connect_err: failed to establish a connection
      335544723,  // isc_net_connect_listen_err
      335544724,  // isc_net_event_connect_err
      335544725,  // isc_net_event_listen_err
      335544726,  // isc_net_read_err: error reading data from the connection
      335544727,  // isc_net_write_err: error writing data to the connection
      335544741,  // isc_lost_db_connection: connection lost to database
      335544856,  // isc_att_shutdown: connection shutdown
      335544971,  // isc_net_server_shutdown: server shutdown
  };
  for (intptr_t c : codes_)
    if (std::find(std::begin(kLost), std::end(kLost), c) != std::end(kLost)) return true;
  return false;
}

EDatabaseFault EDatabaseError::Fault() const {
  if (ConnectionLost()) return EDatabaseFault::ConnectionLost;
  // Wrappers that only say "an SQL error": the code after them tells.
  static constexpr intptr_t kWrappers[] = {
      335544436,  // isc_sqlerr
      335544569,  // isc_dsql_error
  };
  // The row's own faults: the same row is refused again whenever offered.
  static constexpr intptr_t kRecord[] = {
      335544321,  // isc_arith_except: arithmetic exception, numeric overflow
      335544334,  // isc_convert_error: conversion error from string
      335544342,  // isc_integ_fail: action cancelled by trigger
      335544347,  // isc_not_valid: validation error for column
      335544349,  // isc_no_dup: duplicate value in a unique index
      335544466,  // isc_foreign_key: violation of FOREIGN KEY constraint
      335544517,  // isc_except: exception raised by a trigger
      335544533,  // isc_foreign_key_notfound
      335544558,  // isc_check_constraint: operation violates CHECK constraint
      335544565,  // isc_transliteration_failed: a text not in the character set
      335544606,  // isc_expression_eval_err
      335544665,  // isc_unique_key_violation: PRIMARY or UNIQUE KEY
      335544772,  // isc_exception_float_divide_by_zero
      335544774,  // isc_exception_float_invalid_operand
      335544775,  // isc_exception_float_overflow
      335544777,  // isc_exception_float_underflow
      335544778,  // isc_exception_integer_divide_by_zero
      335544779,  // isc_exception_integer_overflow
      335544810,  // isc_date_range_exceeded
      335544839,  // isc_foreign_key_references_present
      335544848,  // isc_except2: exception raised by a trigger, with its text
      335544849,  // isc_malformed_string
      335544877,  // isc_key_too_big
      335544913,  // isc_datetime_range_exceeded
      335544914,  // isc_string_truncation
      335544916,  // isc_numeric_out_of_range
  };
  for (intptr_t c : codes_) {
    if (std::find(std::begin(kWrappers), std::end(kWrappers), c) != std::end(kWrappers)) continue;
    return std::find(std::begin(kRecord), std::end(kRecord), c) != std::end(kRecord)
               ? EDatabaseFault::Record
               : EDatabaseFault::Refusal;
  }
  return EDatabaseFault::Refusal;
}
