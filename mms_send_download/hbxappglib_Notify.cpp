// Notification intake: lets the host look at a pushed m-notification-ind
// (sender, subject, size, expiry, content location) before it downloads.
#include "MMSProl_Encapsulaton.h"
#include "qx_log.h"

extern "C" tMMS_NotifyInd *fnCPS_ParseMMSNotification(const tCPS_PduBuf *notification) {
    QX_LOG("mzk:enter fnCPS_ParseMMSNotification\n");
    if (!notification) return nullptr;
    return fnMMS_ParseNotificationInd(notification->data, notification->length);
}
