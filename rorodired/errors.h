// The error names of org.ofono.mms, one table: what a method call is
// refused with and what a failed message records (failure_names.cpp maps
// each core Failure, and so each relay status, onto these).
#ifndef RORODIRED_ERRORS_H
#define RORODIRED_ERRORS_H

namespace rrd {

#define RRD_ERROR(x) "org.ofono.mms.Error." x
constexpr char kInvalidArguments[] = RRD_ERROR("InvalidArguments");
constexpr char kUnsupportedMessage[] = RRD_ERROR("UnsupportedMessage");
constexpr char kTransientFailure[] = RRD_ERROR("TransientFailure");
constexpr char kTransientNetworkProblem[] = RRD_ERROR("TransientNetworkProblem");
constexpr char kPermanentFailure[] = RRD_ERROR("PermanentFailure");
constexpr char kPermanentServiceDenied[] = RRD_ERROR("PermanentServiceDenied");
constexpr char kPermanentContentNotAccepted[] = RRD_ERROR("PermanentContentNotAccepted");
constexpr char kPermanentRelayNotAllowed[] = RRD_ERROR("PermanentRelayNotAllowed");
constexpr char kStorageFull[] = RRD_ERROR("StorageFull");
constexpr char kNotFound[] = RRD_ERROR("NotFound");
constexpr char kRefused[] = RRD_ERROR("Refused");
constexpr char kTooManyPending[] = RRD_ERROR("TooManyPending");
constexpr char kMessageExpired[] = RRD_ERROR("MessageExpired");
constexpr char kPermanentMessageNotFound[] = RRD_ERROR("PermanentMessageNotFound");

constexpr char kUnspecifiedError[] = RRD_ERROR("UnspecifiedError");
constexpr char kTransientSendingAddressUnresolved[] = RRD_ERROR("TransientSendingAddressUnresolved");
constexpr char kTransientMessageNotFound[] = RRD_ERROR("TransientMessageNotFound");
constexpr char kTransientPartialSuccess[] = RRD_ERROR("TransientPartialSuccess");
constexpr char kPermanentMessageFormatCorrupt[] = RRD_ERROR("PermanentMessageFormatCorrupt");
constexpr char kPermanentSendingAddressUnresolved[] = RRD_ERROR("PermanentSendingAddressUnresolved");
constexpr char kPermanentReplyChargingLimitationsNotMet[] =
    RRD_ERROR("PermanentReplyChargingLimitationsNotMet");
constexpr char kPermanentReplyChargingRequestNotAccepted[] =
    RRD_ERROR("PermanentReplyChargingRequestNotAccepted");
constexpr char kPermanentReplyChargingForwardingDenied[] =
    RRD_ERROR("PermanentReplyChargingForwardingDenied");
constexpr char kPermanentReplyChargingNotSupported[] = RRD_ERROR("PermanentReplyChargingNotSupported");
constexpr char kPermanentAddressHidingNotSupported[] = RRD_ERROR("PermanentAddressHidingNotSupported");
constexpr char kPermanentLackOfPrepaid[] = RRD_ERROR("PermanentLackOfPrepaid");
#undef RRD_ERROR

}  // namespace rrd

#endif
