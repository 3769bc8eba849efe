// Wireshark's tshark as an independent decoder of PDUs: each PDU becomes the
// body of an HTTP POST on its own TCP stream in a capture file, tshark decodes
// the capture once to PDML, and the MMSE layer of each PDU comes back as a
// list of fields with their nesting.
#ifndef RR_TSHARK_CAPTURE_H
#define RR_TSHARK_CAPTURE_H

#include <string>
#include <vector>

#include "test_support.h"

namespace rrtest {

bool tshark_available();

// A classic pcap with each PDU POSTed on its own TCP stream (source port
// 40001 + index), cut into segments of 1400 bytes.
bool write_pcap(const std::string &path, const std::vector<Bytes> &pdus);

struct PdmlField {
    std::string name, show, showname, value;
    int parent = -1;  // index of the enclosing field in the packet, or -1
};

// The fields of one PDU from its MMSE layer on, in document order, each layer
// that begins among them as a field "proto:NAME". Empty when tshark did not
// decode the PDU as MMSE.
using PdmlPacket = std::vector<PdmlField>;

// Decodes every PDU with tshark (extra command-line options given);
// result[i] belongs to pdus[i]. *ok is false when tshark could not be run.
std::vector<PdmlPacket> tshark_decode(const std::vector<Bytes> &pdus, bool *ok, const std::string &options = "");

}  // namespace rrtest

#endif
