// The bus names of the core's failures.
#include "failure_names.h"

#include <iterator>

#include "errors.h"

namespace rrd {
namespace {

// In the order of Failure; the names errors.h defines are taken from it.
constexpr const char *kErrorNames[] = {
    "",
    kInvalidArguments,
    kUnsupportedMessage,
    kTooManyPending,
    kStorageFull,
    kNotFound,
    kRefused,
    kMessageExpired,
    kPermanentRelayNotAllowed,
    "org.ofono.mms.Error.UnspecifiedError",
    kTransientFailure,
    "org.ofono.mms.Error.TransientSendingAddressUnresolved",
    "org.ofono.mms.Error.TransientMessageNotFound",
    kTransientNetworkProblem,
    "org.ofono.mms.Error.TransientPartialSuccess",
    kPermanentFailure,
    kPermanentServiceDenied,
    "org.ofono.mms.Error.PermanentMessageFormatCorrupt",
    "org.ofono.mms.Error.PermanentSendingAddressUnresolved",
    kPermanentMessageNotFound,
    kPermanentContentNotAccepted,
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
