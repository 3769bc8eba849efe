// Checks the tool makes before it acts, so that bad input ends in one clear
// line: is a file a complete MMS PDU of the wanted type, and why could a
// transaction not reach its relay or proxy.
#ifndef RORODIRE_CHECK_H
#define RORODIRE_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

namespace rrtool {

// What is wrong with the PDU for a command that wants Message-Type `want`
// (-1: any MMS PDU): "is not an MMS PDU", "is an m-send-conf, not an
// m-retrieve-conf", "is cut short in its header", "is cut short in part 2 of
// 3", "has no Content-Location", ...; empty when the PDU is complete.
// Fields are walked by their WSP encodings and multipart bodies by their
// declared part lengths, with the library's readers.
std::string pdu_problem(const std::vector<uint8_t> &pdu, int want);

// After a failed transaction: which end could not be reached. Tries a TCP
// connect (2 s at most) to the proxy "HOST:PORT" when one is given, else to
// the host and port of `url`; "cannot connect to the proxy 127.0.0.1:1
// (Connection refused)", or empty when it answers.
std::string reach_problem(const std::string &proxy, const std::string &url);

}  // namespace rrtool

#endif
