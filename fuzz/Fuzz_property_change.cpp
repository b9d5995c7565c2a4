// HandlePropertyChangeValue with any value record: any type code, any payload, and host strings
// of any bytes and length, terminated or not. A host string without a terminator still holds at
// least the 512 bytes a name can take, which is all the plug-in may read of it; exactly that
// many are allocated, so one byte more read is an overflow. Now and then a service message
// follows, so that what was stored is also acted on.
#include "FuzzHost.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <vector>

namespace {

typedef void (*PropertyChangeFn)(void*, void*, uint16_t, const void*, const void*, uint8_t);
constexpr size_t kNameBytes = 512;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
	fuzzhost::Start();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
	FuzzedDataProvider in(data, size);
	const uint16_t index = in.ConsumeIntegralInRange<uint16_t>(0, 6); // 1 to 4 exist
	uint16_t type = in.ConsumeIntegral<uint16_t>();
	const uint8_t flag = in.ConsumeIntegral<uint8_t>();
	const int shape = in.ConsumeIntegralInRange(0, 3); // null, number, terminated text, unterminated text
	const bool service = in.ConsumeBool();
	const uint64_t number = in.ConsumeIntegral<uint64_t>();
	std::vector<uint8_t> text = in.ConsumeRemainingBytes<uint8_t>();

	uint8_t record[16] = {};
	memcpy(record, &type, sizeof(type));
	uint8_t* hostString = nullptr;
	if (shape == 1) {
		// A number. A string value's payload is always null or a host string: the host's promise.
		if (type == refhost::kTypeString)
			type = refhost::kTypeInteger;
		memcpy(record, &type, sizeof(type));
		memcpy(record + 8, &number, sizeof(number));
	} else if (shape >= 2) {
		size_t length = text.size();
		if (shape == 3) {
			length = std::max(length, kNameBytes);
			std::replace(text.begin(), text.end(), uint8_t(0), uint8_t(0xFF));
			text.resize(length, 'n');
		}
		// Exactly the host string's bytes: the header, the text, and the NUL when there is one.
		hostString = new uint8_t[refhost::off::kHostStringText + length + (shape == 2 ? 1 : 0)];
		memset(hostString, 0, refhost::off::kHostStringText);
		if (length)
			memcpy(hostString + refhost::off::kHostStringText, text.data(), length);
		if (shape == 2)
			hostString[refhost::off::kHostStringText + length] = 0;
		const uint64_t payload = uint64_t(uintptr_t(hostString));
		memcpy(record + 8, &payload, sizeof(payload));
	}
	uint8_t previous[16] = {};
	previous[0] = refhost::kTypeNone;

	refhost::Host& host = *fuzzhost::S().host;
	auto change = fuzzhost::Callback<PropertyChangeFn>(refhost::off::kInfoHandlePropertyChangeValue);
	change(fuzzhost::Params(), fuzzhost::S().actor->info.data(), index, previous, record, flag);
	delete[] hostString; // the plug-in keeps no pointer into the host's string
	if (service) {
		host.AdvanceTime(1001);
		host.Tick();
	}
	fuzzhost::Check();
	return 0;
}
