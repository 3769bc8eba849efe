// The error names of org.ofono.mms, one table: what a method call is
// refused with, what a failed message records, and the name of each
// Response-Status and Retrieve-Status a relay answers with.
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

// A relay's status code and the error name it stands for.
struct ResponseName {
    int code;
    const char *name;
};
constexpr ResponseName kResponseNames[] = {
    {0x81, RRD_ERROR("UnspecifiedError")},
    {0x82, kPermanentServiceDenied},
    {0x83, RRD_ERROR("PermanentMessageFormatCorrupt")},
    {0x84, RRD_ERROR("PermanentSendingAddressUnresolved")},
    {0x85, kPermanentMessageNotFound},
    {0x86, kTransientNetworkProblem},
    {0x87, kPermanentContentNotAccepted},
    {0x88, kUnsupportedMessage},
    {0xC0, kTransientFailure},
    {0xC1, RRD_ERROR("TransientSendingAddressUnresolved")},
    {0xC2, RRD_ERROR("TransientMessageNotFound")},
    {0xC3, kTransientNetworkProblem},
    {0xC4, RRD_ERROR("TransientPartialSuccess")},
    {0xE0, kPermanentFailure},
    {0xE1, kPermanentServiceDenied},
    {0xE2, RRD_ERROR("PermanentMessageFormatCorrupt")},
    {0xE3, RRD_ERROR("PermanentSendingAddressUnresolved")},
    {0xE4, kPermanentMessageNotFound},
    {0xE5, kPermanentContentNotAccepted},
    {0xE6, RRD_ERROR("PermanentReplyChargingLimitationsNotMet")},
    {0xE7, RRD_ERROR("PermanentReplyChargingRequestNotAccepted")},
    {0xE8, RRD_ERROR("PermanentReplyChargingForwardingDenied")},
    {0xE9, RRD_ERROR("PermanentReplyChargingNotSupported")},
    {0xEA, RRD_ERROR("PermanentAddressHidingNotSupported")},
    {0xEB, RRD_ERROR("PermanentLackOfPrepaid")},
};
#undef RRD_ERROR

}  // namespace rrd

#endif
