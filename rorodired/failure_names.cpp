// The bus names of the core's failures.
#include "failure_names.h"

#include <iterator>

#include "errors.h"

namespace rrd {
namespace {

// In the order of Failure, every name from errors.h.
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
    kUnspecifiedError,
    kTransientFailure,
    kTransientSendingAddressUnresolved,
    kTransientMessageNotFound,
    kTransientNetworkProblem,
    kTransientPartialSuccess,
    kPermanentFailure,
    kPermanentServiceDenied,
    kPermanentMessageFormatCorrupt,
    kPermanentSendingAddressUnresolved,
    kPermanentMessageNotFound,
    kPermanentContentNotAccepted,
    kPermanentReplyChargingLimitationsNotMet,
    kPermanentReplyChargingRequestNotAccepted,
    kPermanentReplyChargingForwardingDenied,
    kPermanentReplyChargingNotSupported,
    kPermanentAddressHidingNotSupported,
    kPermanentLackOfPrepaid,
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
