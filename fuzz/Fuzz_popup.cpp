// The popups with any buffer size (allocated exactly, so a byte past it is an overflow), any
// number of sources with any names, and any current value of the input.
#include "FuzzHost.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
	fuzzhost::Start();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
	FuzzedDataProvider in(data, size);
	const uint8_t kind = in.ConsumeIntegralInRange<uint8_t>(0, 2);
	const uint16_t index = in.ConsumeIntegralInRange<uint16_t>(0, 5);
	const uint32_t bufferSize = in.ConsumeIntegralInRange<uint32_t>(0, 16384);
	const bool askSelection = in.ConsumeBool();
	const std::string current = in.ConsumeRandomLengthString(2048);
	std::vector<std::string> names;
	const int count = in.ConsumeIntegralInRange(0, 64);
	for (int i = 0; i < count && in.remaining_bytes() > 0; ++i)
		names.push_back(in.ConsumeRandomLengthString(4096));

	refhost::Host& host = *fuzzhost::S().host;
	refhost::Actor* actor = fuzzhost::S().actor;
	host.SetInput(actor, index == fuzzhost::kAudioOut ? fuzzhost::kAudioOut : fuzzhost::kSource,
	              refhost::HostValue::Text(current));
	for (const std::string& name : names)
		ndi_standin_add_source(name.c_str(), nullptr); // an empty name is refused, as on a network

	char* buffer = bufferSize ? new char[bufferSize] : nullptr;
	if (buffer)
		memset(buffer, 0x5A, bufferSize);
	uint32_t selected = 0xDEADBEEF;
	host.PopupMenuRaw(actor, kind, index, buffer, bufferSize, askSelection ? &selected : nullptr);
	if (buffer && (index == fuzzhost::kSource || index == fuzzhost::kAudioOut) && strnlen(buffer, bufferSize) == bufferSize) {
		fprintf(stderr, "popup of %u bytes left unterminated\n", bufferSize);
		abort();
	}
	if (askSelection && selected > names.size() + 64) {
		fprintf(stderr, "selection %u of at most %zu entries\n", selected, names.size());
		abort();
	}
	delete[] buffer;
	for (const std::string& name : names)
		ndi_standin_remove_source(name.c_str());
	host.ClearRecords(); // a buffer too small is reported, as it should be
	fuzzhost::Check();
	return 0;
}
