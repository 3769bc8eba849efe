// Allocation and release of the MMS message records.
#include "qx_internal.h"
#include "qx_log.h"

namespace {

template <typename T>
T *new_record() {
    return qx::alloc_rec<T>();
}

template <typename T, typename... Fields>
void free_record(void *rec, Fields T::*...texts) {
    T *r = static_cast<T *>(rec);
    (qx::free_ptr(r->*texts), ...);
    qx::free_ptr(r);
}

}  // namespace

extern "C" void *fnMMS_AllocMessageMem(int type) {
    QX_LOG("mzk:enter fnMMS_AllocMessageMem");
    void *rec = nullptr;
    switch (type & 0xFF) {
        case MMS_STRUCT_SEND_REQ:
            if (auto *r = new_record<tMMS_SendReq>()) {
                r->Sender_Visibility = 1;
                r->Priority = 1;
                r->Expiry_Relative = 1;
                r->Delivery_Time_Relative = 1;
                rec = r;
            }
            break;
        case MMS_STRUCT_SEND_CONF:
            if (auto *r = new_record<tMMS_SendConf>()) {
                r->Message_Type = 0x81;
                r->MMS_Version = 0x92;
                rec = r;
            }
            break;
        case MMS_STRUCT_MMS_NOTIFICATION_IND:
            QX_LOG("mzk:MMS_STRUCT_MMS_NOTIFICATION_IND\n");
            rec = new_record<tMMS_NotifyInd>();
            break;
        case MMS_STRUCT_RETRIEVE_CONF:
            rec = new_record<tMMS_RetrieveConf>();
            break;
        case MMS_STRUCT_DELIVERY_IND:
            rec = new_record<tMMS_DeliveryInd>();
            break;
        case MMS_STRUCT_NOTIFYRESP_IND:
            if (auto *r = new_record<tMMS_NotifyRespInd>()) {
                r->Message_Type = 0x83;
                r->MMS_Version = 0x92;
                rec = r;
            }
            break;
        case MMS_STRUCT_ACKNOWLEDGE_IND:
            if (auto *r = new_record<tMMS_AcknowledgeInd>()) {
                r->Message_Type = 0x85;
                r->MMS_Version = 0x92;
                rec = r;
            }
            break;
        case MMS_STRUCT_READ_REC_IND:
            rec = new_record<tMMS_ReadRecInd>();
            break;
        case MMS_STRUCT_READ_ORIG_IND:
            rec = new_record<tMMS_ReadOrigInd>();
            break;
        case MMS_STRUCT_FWD_REQ:
            if (auto *r = new_record<tMMS_FwdReq>()) {
                r->Expiry_Relative = 1;
                r->Delivery_Time_Relative = 1;
                rec = r;
            }
            break;
        case MMS_STRUCT_FWD_CONF:
            rec = new_record<tMMS_FwdConf>();
            break;
        default:
            QX_LOG("mzk:enter default");
            return nullptr;
    }
    if (!rec) QX_LOG("mzk:fail to allocate memory");
    return rec;
}

extern "C" void fnMMS_FreeMessageMem(void *record, int type) {
    if (!record) return;
    switch (type & 0xFF) {
        case MMS_STRUCT_SEND_REQ:
            free_record<tMMS_SendReq>(record, &tMMS_SendReq::Transaction_Id, &tMMS_SendReq::From, &tMMS_SendReq::To,
                                      &tMMS_SendReq::Cc, &tMMS_SendReq::Bcc, &tMMS_SendReq::Subject,
                                      &tMMS_SendReq::ContentTypeAndBody);
            return;
        case MMS_STRUCT_SEND_CONF:
            free_record<tMMS_SendConf>(record, &tMMS_SendConf::Transaction_Id, &tMMS_SendConf::Response_Text,
                                       &tMMS_SendConf::Message_Id);
            return;
        case MMS_STRUCT_MMS_NOTIFICATION_IND:
            free_record<tMMS_NotifyInd>(record, &tMMS_NotifyInd::Transaction_Id, &tMMS_NotifyInd::From,
                                        &tMMS_NotifyInd::Subject, &tMMS_NotifyInd::Content_Location);
            return;
        case MMS_STRUCT_RETRIEVE_CONF:
            free_record<tMMS_RetrieveConf>(record, &tMMS_RetrieveConf::Transaction_Id, &tMMS_RetrieveConf::Message_Id,
                                           &tMMS_RetrieveConf::From, &tMMS_RetrieveConf::To, &tMMS_RetrieveConf::Cc,
                                           &tMMS_RetrieveConf::Subject, &tMMS_RetrieveConf::body);
            return;
        case MMS_STRUCT_DELIVERY_IND:
            free_record<tMMS_DeliveryInd>(record, &tMMS_DeliveryInd::Message_Id, &tMMS_DeliveryInd::To);
            return;
        case MMS_STRUCT_NOTIFYRESP_IND:
            free_record<tMMS_NotifyRespInd>(record, &tMMS_NotifyRespInd::Transaction_Id);
            return;
        case MMS_STRUCT_ACKNOWLEDGE_IND:
            free_record<tMMS_AcknowledgeInd>(record, &tMMS_AcknowledgeInd::Transaction_Id);
            return;
        case MMS_STRUCT_READ_REC_IND:
            free_record<tMMS_ReadRecInd>(record, &tMMS_ReadRecInd::Message_Id, &tMMS_ReadRecInd::To,
                                         &tMMS_ReadRecInd::From);
            return;
        case MMS_STRUCT_READ_ORIG_IND:
            free_record<tMMS_ReadOrigInd>(record, &tMMS_ReadOrigInd::Message_Id, &tMMS_ReadOrigInd::To,
                                          &tMMS_ReadOrigInd::From);
            return;
        case MMS_STRUCT_FWD_REQ:
            free_record<tMMS_FwdReq>(record, &tMMS_FwdReq::Transaction_Id, &tMMS_FwdReq::To, &tMMS_FwdReq::Cc,
                                     &tMMS_FwdReq::Bcc, &tMMS_FwdReq::Content_Location);
            return;
        case MMS_STRUCT_FWD_CONF:
            free_record<tMMS_FwdConf>(record, &tMMS_FwdConf::Transaction_Id, &tMMS_FwdConf::Response_Text,
                                      &tMMS_FwdConf::Message_Id);
            return;
        default:
            return;
    }
}
