// GetHelpString into buffers of any size (allocated exactly), for every property the host has
// and for any position the host might answer, with any runtime version text.
#include "FuzzHost.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
	fuzzhost::Start();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
	FuzzedDataProvider in(data, size);
	static const struct { uint8_t kind; uint16_t index; } kProperties[] = {
		{0, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}};
	const bool overridden = in.ConsumeBool();
	uint8_t kind;
	uint16_t index;
	if (overridden) {
		// A host that answers any position for any property.
		kind = in.ConsumeIntegral<uint8_t>();
		index = in.ConsumeIntegral<uint16_t>();
		fuzzhost::S().host->OverrideNextHelpIndex(in.ConsumeIntegral<uint32_t>());
	} else {
		const auto& p = kProperties[in.ConsumeIntegralInRange<size_t>(0, 7)];
		kind = p.kind;
		index = p.index;
	}
	const uint32_t bufferSize = in.ConsumeIntegralInRange<uint32_t>(0, 4096);
	const std::string version = in.ConsumeRemainingBytesAsString();
	ndi_standin_set_version(version.empty() ? nullptr : version.c_str());

	char* buffer = bufferSize ? new char[bufferSize] : nullptr;
	fuzzhost::S().host->HelpStringRaw(fuzzhost::S().actor, kind, index, buffer, bufferSize);
	if (buffer && strnlen(buffer, bufferSize) == bufferSize) {
		fprintf(stderr, "help of %u bytes left unterminated\n", bufferSize);
		abort();
	}
	delete[] buffer;
	ndi_standin_set_version(nullptr);
	fuzzhost::S().host->ClearRecords(); // a position outside the table is reported
	fuzzhost::Check();
	return 0;
}
