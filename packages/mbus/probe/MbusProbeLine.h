// The line modes of mbus-probe: what an installer runs against a real M-Bus
// line before filling CANAIS. LINE is a serial device (`/dev/ttyUSB0`,
// `COM3`) or a converter's `host:port`; options: --baud N (2400), --parity
// E|N|O (serial, E), --timeout-ms N (the line's default, MbusSettings.h),
// --retries N (1).
//   --scan LINE [--from A] [--to B]   SND_NKE to each primary address (0..250),
//                                     then reads every one that answered:
//                                     one line per meter
//   --search LINE [MASK]              every secondary address under MASK
//                                     (default FFFFFFFF: all), one line each
//   --read LINE ADDRESS               one meter, by primary address (0..250) or
//                                     secondary address (12345678[.MAN.VV.MM]),
//                                     printed as --hex prints an answer
// Each returns the program's exit status: 0 when the mode did its work (a
// meter found, read and decoded), 1 with one line on stderr otherwise, -1
// for a wrong command line (the caller prints the usage).
#pragma once

namespace mbus {

int ProbeScan(int argc, char** argv);
int ProbeSearch(int argc, char** argv);
int ProbeRead(int argc, char** argv);

}  // namespace mbus
