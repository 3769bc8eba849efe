// libFuzzer target: the strict decoders of the relay's reports
// (m-delivery-ind, m-read-rec-ind, m-read-orig-ind), on an exactly sized heap
// copy. A record comes back exactly when no fault is reported and holds its
// Message-ID.
#include <cstdint>
#include <cstdlib>

#include "MMSProl_Encapsulaton.h"
#include "fuzz_support.h"

namespace {

template <typename Rec, typename Decode>
void run(const uint8_t *pdu, int n, int type, Decode decode) {
    tMMS_DecodeReport why{};
    Rec *r = decode(pdu, n, &why);
    if ((r != nullptr) != (why.fault == MmsDecodeFault::None)) std::abort();
    if (r && (!r->Message_Id || !*r->Message_Id)) std::abort();
    if (why.fault == MmsDecodeFault::BadField && (why.offset < 0 || why.offset >= n)) std::abort();
    fnMMS_FreeMessageMem(r, type);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1u << 20) return 0;
    FuzzInput in(data, size);
    if (!in.data()) return 0;
    const uint8_t *pdu = in.data();
    const int n = in.size();
    // The generic walk for the Message-Type stays inside the input too (it
    // may tell another type than a decoder on malformed fields).
    const int type = fnMMS_FindMessageType(pdu, n);
    if (type != MMS_NO_MESSAGE_TYPE && (type < 0 || type > 0xFF)) std::abort();
    run<tMMS_DeliveryInd>(pdu, n, MMS_STRUCT_DELIVERY_IND, fnMMS_ParseDeliveryInd);
    run<tMMS_ReadRecInd>(pdu, n, MMS_STRUCT_READ_REC_IND, fnMMS_ParseReadRecInd);
    run<tMMS_ReadOrigInd>(pdu, n, MMS_STRUCT_READ_ORIG_IND, fnMMS_ParseReadOrigInd);
    return 0;
}
