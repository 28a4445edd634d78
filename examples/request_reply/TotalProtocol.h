// The messages between total_server and total_client: a running total kept by the server.
//
//   server -> member  kHello                  posted to every member it meets: "I serve totals"
//   client -> server  kAdd | sequence, N      sent synchronously: the call
//   server -> client  kTotal | sequence, T    posted back from the call's handler: the answer
//
// The low 16 bits of a request's code carry the client's call number, echoed in the answer, so
// that a late answer to an abandoned call is recognised as such. Every code stays below
// 0xFFFF0000, the range the library reserves.
#pragma once

namespace total {

const unsigned int kHello = 0x00070000;
const unsigned int kAdd = 0x00080000;
const unsigned int kTotal = 0x00090000;
const unsigned int kKindMask = 0xFFFF0000;
const unsigned int kSequenceMask = 0x0000FFFF;

}  // namespace total
