// The bus names of the core's failures.
#include "failure_names.h"

#include <iterator>

namespace rrd {
namespace {

// In the order of Failure.
constexpr const char *kErrorNames[] = {
    "",
    "org.ofono.mms.Error.InvalidArguments",
    "org.ofono.mms.Error.UnsupportedMessage",
    "org.ofono.mms.Error.TooManyPending",
    "org.ofono.mms.Error.StorageFull",
    "org.ofono.mms.Error.NotFound",
    "org.ofono.mms.Error.Refused",
    "org.ofono.mms.Error.MessageExpired",
    "org.ofono.mms.Error.PermanentRelayNotAllowed",
    "org.ofono.mms.Error.UnspecifiedError",
    "org.ofono.mms.Error.TransientFailure",
    "org.ofono.mms.Error.TransientSendingAddressUnresolved",
    "org.ofono.mms.Error.TransientMessageNotFound",
    "org.ofono.mms.Error.TransientNetworkProblem",
    "org.ofono.mms.Error.TransientPartialSuccess",
    "org.ofono.mms.Error.PermanentFailure",
    "org.ofono.mms.Error.PermanentServiceDenied",
    "org.ofono.mms.Error.PermanentMessageFormatCorrupt",
    "org.ofono.mms.Error.PermanentSendingAddressUnresolved",
    "org.ofono.mms.Error.PermanentMessageNotFound",
    "org.ofono.mms.Error.PermanentContentNotAccepted",
    "org.ofono.mms.Error.PermanentReplyChargingLimitationsNotMet",
    "org.ofono.mms.Error.PermanentReplyChargingRequestNotAccepted",
    "org.ofono.mms.Error.PermanentReplyChargingForwardingDenied",
    "org.ofono.mms.Error.PermanentReplyChargingNotSupported",
    "org.ofono.mms.Error.PermanentAddressHidingNotSupported",
    "org.ofono.mms.Error.PermanentLackOfPrepaid",
};
static_assert(std::size(kErrorNames) == kFailureCount);

}  // namespace

const char *error_name(Failure f) {
    const auto i = static_cast<size_t>(f);
    return i < kFailureCount ? kErrorNames[i] : "";
}

bool failure_of_error_name(std::string_view name, Failure *out) {
    for (size_t i = 1; i < kFailureCount; ++i)
        if (name == kErrorNames[i]) {
            *out = static_cast<Failure>(i);
            return true;
        }
    return false;
}

}  // namespace rrd
