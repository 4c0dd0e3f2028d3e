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
