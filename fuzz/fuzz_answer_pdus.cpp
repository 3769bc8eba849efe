// libFuzzer target: the strict decoders of the terminal's answers
// (m-notifyresp-ind, m-acknowledge-ind, the forward request) and the
// Message-Type finder, on an exactly sized heap copy. A record comes back
// exactly when no fault is reported and holds its identifying texts.
#include <cstdint>
#include <cstdlib>

#include "MMSProl_Encapsulaton.h"
#include "fuzz_support.h"

namespace {

template <typename Rec, typename Decode, typename Check>
void run(const uint8_t *pdu, int n, int type, Decode decode, Check check) {
    tMMS_DecodeReport why{};
    Rec *r = decode(pdu, n, &why);
    if ((r != nullptr) != (why.fault == MmsDecodeFault::None)) std::abort();
    if (r && !check(*r)) std::abort();
    fnMMS_FreeMessageMem(r, type);
}

bool has_text(const char *t) { return t && *t; }

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
    run<tMMS_NotifyRespInd>(pdu, n, MMS_STRUCT_NOTIFYRESP_IND, fnMMS_ParseNotifyRespInd,
                            [](const tMMS_NotifyRespInd &r) { return has_text(r.Transaction_Id); });
    run<tMMS_AcknowledgeInd>(pdu, n, MMS_STRUCT_ACKNOWLEDGE_IND, fnMMS_ParseAcknowledgeInd,
                             [](const tMMS_AcknowledgeInd &r) { return has_text(r.Transaction_Id); });
    run<tMMS_FwdReq>(pdu, n, MMS_STRUCT_FWD_REQ, fnMMS_ParseFwdReq, [](const tMMS_FwdReq &r) {
        return has_text(r.Transaction_Id) && has_text(r.Content_Location);
    });
    return 0;
}
