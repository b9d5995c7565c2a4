// The system's real endpoints behind thin wrappers whose audio clients refuse every format but
// the mix format: a device that keeps its own rate, so the context resamples itself.
#ifndef RESTRICTED_WASAPI_H
#define RESTRICTED_WASAPI_H

#include "AudioOut_Win.h"

namespace fakewasapi {

// An enumerator factory for CWASAPIAudioContext::sPlatform.CreateEnumerator.
HRESULT CreateRestrictedEnumerator(IMMDeviceEnumerator** enumerator);

} // namespace fakewasapi

#endif
