// libFuzzer target: the strict decoders of the relay's reports
// (m-delivery-ind, m-read-rec-ind, m-read-orig-ind), on an exactly sized heap
// copy. A record comes back exactly when no fault is reported, holds its
// Message-ID, and only for a PDU whose Message-Type is the decoder's.
#include <cstdint>
#include <cstdlib>

#include "MMSProl_Encapsulaton.h"
#include "fuzz_support.h"

namespace {

template <typename Rec, typename Decode>
void run(const uint8_t *pdu, int n, int type, uint8_t messageType, Decode decode) {
    tMMS_DecodeReport why{};
    Rec *r = decode(pdu, n, &why);
    if ((r != nullptr) != (why.fault == MmsDecodeFault::None)) std::abort();
    if (r && (fnMMS_FindMessageType(pdu, n) != messageType || !r->Message_Id || !*r->Message_Id)) std::abort();
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
    run<tMMS_DeliveryInd>(pdu, n, MMS_STRUCT_DELIVERY_IND, MMS_M_DELIVERY_IND, fnMMS_ParseDeliveryInd);
    run<tMMS_ReadRecInd>(pdu, n, MMS_STRUCT_READ_REC_IND, MMS_M_READ_REC_IND, fnMMS_ParseReadRecInd);
    run<tMMS_ReadOrigInd>(pdu, n, MMS_STRUCT_READ_ORIG_IND, MMS_M_READ_ORIG_IND, fnMMS_ParseReadOrigInd);
    return 0;
}
