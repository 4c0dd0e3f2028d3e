// What the simulated meter asks of its interface through KxInterface::Exchange
// (slot 0, the packages' own operation).
//
// Exchange(request, size, reply, capacity) returns the full size of the reply
// (of which at most `capacity` bytes were copied), or -1 when the interface
// cannot carry the request (not open, or taken off line).
#pragma once

namespace sim {

// Reply: the interface's CONFIGS text, whether the interface is open or not.
constexpr char kRequestConfig[] = "SIM?CONFIG";
// Reply: the request echoed, after the interface's latency. Fails (-1) when
// the interface is not open or is off line.
constexpr char kRequestPing[] = "SIM?PING";

}  // namespace sim
