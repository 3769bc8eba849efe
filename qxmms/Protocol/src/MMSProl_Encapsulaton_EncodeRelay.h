// Encoders of the PDUs a relay sends: m-send-conf, m-notification-ind,
// m-retrieve-conf and the reports to a sender (m-delivery-ind,
// m-read-orig-ind). The terminal never sends these; they serve the
// development relay of the command-line tool and the tests. Not exported.
#ifndef MMSPROL_ENCAPSULATON_ENCODERELAY_H
#define MMSPROL_ENCAPSULATON_ENCODERELAY_H

#include <cstdint>

#include "MMSProl_Encapsulaton.h"

// m-send-conf: Message-Type, Transaction-Id, MMS-Version, Response-Status
// (the byte as given), then Response-Text and Message-ID when set. The
// buffer is the caller's (fnQX_Free); null for a null Transaction-Id or
// length out-parameter, or when memory is short.
uint8_t *fnMMS_MakeSendConfPdu(const char *transactionId, uint8_t status, const char *responseText,
                               const char *messageId, int *len);

// m-notification-ind from the record: Transaction-Id and Content_Location
// must be set. From (when set), Subject (when set), Message-Class and
// Priority (wire bytes of 0x80 or more; other values give Personal and no
// Priority field), Message-Size, Expiry (when above 0, token from
// Expiry_Token) and Content-Location last.
uint8_t *fnMMS_MakeNotificationIndPdu(const tMMS_NotifyInd *rec, int *len);

// m-retrieve-conf from the record: Transaction-Id, Message-ID, Date (when
// above 0), From, To, Cc, Subject, Message-Class, Priority, Delivery-Report,
// Read-Reply and the record's body (its Content-Type field first) as it is.
// Transaction_Id must be set.
uint8_t *fnMMS_MakeRetrieveConfPdu(const tMMS_RetrieveConf *rec, int *len);

// m-delivery-ind for the sender of a message: Message-ID, To (the recipient
// reported on), Date (when above 0) and Status, which must be one of 0x80
// Expired .. 0x87 Unreachable. Message_Id and To must be set.
uint8_t *fnMMS_MakeDeliveryIndPdu(const tMMS_DeliveryInd *rec, int *len);

// m-read-orig-ind for the sender of a message: Message-ID, To (the sender),
// From (the recipient who read it; insert-address when null), Date (when
// above 0) and Read-Status (0x80 or 0x81), as fnMMS_MakeReadRecIndPdu writes
// them.
uint8_t *fnMMS_MakeReadOrigIndPdu(const tMMS_ReadOrigInd *rec, int *len);

#endif
