// The bandwidth's value texts both ways, for any property: PropertyStringToValue with any text,
// PropertyValueToString with any value record (type code and payload).
#include "FuzzHost.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
	fuzzhost::Start();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
	FuzzedDataProvider in(data, size);
	const bool toValue = in.ConsumeBool();
	const uint8_t kind = in.ConsumeIntegralInRange<uint8_t>(0, 3);
	const uint16_t index = in.ConsumeIntegralInRange<uint16_t>(0, 8);
	const bool bandwidth = kind == 1 && index == fuzzhost::kBandwidth;
	refhost::Host& host = *fuzzhost::S().host;
	refhost::Actor* actor = fuzzhost::S().actor;

	if (toValue) {
		const std::string text = in.ConsumeRemainingBytesAsString();
		refhost::HostValue value;
		const bool handled = host.StringToValue(actor, kind, index, text.c_str(), &value);
		if (handled && (!bandwidth || value.type != refhost::kTypeInteger || value.integer < 0 || value.integer > 1)) {
			fprintf(stderr, "'%s' became type %d value %lld\n", text.c_str(), value.type, (long long)value.integer);
			abort();
		}
	} else {
		refhost::HostValue value;
		value.type = in.ConsumeIntegral<uint16_t>();
		value.integer = in.ConsumeIntegral<int64_t>();
		value.real = in.ConsumeFloatingPoint<double>();
		value.text = in.ConsumeRemainingBytesAsString();
		value.nullPayload = false;
		std::string text;
		const bool handled = host.ValueToString(actor, kind, index, value, &text);
		if (handled != bandwidth || (handled && !text.empty() && text != "low" && text != "high")) {
			fprintf(stderr, "value to text: handled %d, '%s'\n", int(handled), text.c_str());
			abort();
		}
	}
	host.ClearRecords(); // out-of-range bandwidths are reported, as they should be
	fuzzhost::Check();
	return 0;
}
