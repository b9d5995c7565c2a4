// Memory running out, met by the loaded plug-in: allocations the plug-in makes are failed one at
// a time while the reference host and the stand-ins allocate as usual.
#include "plugin/ActorFixture.h"

#include "PluginAllocations.h"

#include <dlfcn.h>

#include <cstring>

using namespace actortest;
using refhost::HostValue;

namespace {

namespace pa = plugin_allocations;

const char kBuiltIn[] = "Built-in Output";

// The plug-in's GetActorInfo filled the record with its callbacks: any of them lies in its code.
const void* PluginCode(const refhost::Host& host) {
	const void* code = nullptr;
	memcpy(&code, host.infoRecord().data() + refhost::off::kInfoCreateActor, sizeof(code));
	return code;
}

const void* ObjectBase(const void* address) {
	Dl_info info;
	return dladdr(address, &info) ? info.dli_fbase : nullptr;
}

class OutOfMemoryTest : public ActorTest {
protected:
	void SetUp() override {
		ActorTest::SetUp();
		apple_standin_clear_faults();
		apple_standin_reset_devices();
	}
	void TearDown() override {
		pa::Disarm();
		ActorTest::TearDown();
	}
};

} // namespace

// ---- The classifier ----------------------------------------------------------------------------

TEST_F(OutOfMemoryTest, AllocationsAreThePluginsExactlyWhenItsCodeMadeThem) {
	std::string error;
	ASSERT_TRUE(pa::Arm(PluginCode(host), &error)) << error;
	const void* pluginBase = ObjectBase(PluginCode(host));
	const void* hostBase = ObjectBase(reinterpret_cast<const void*>(&PluginCode));
	const void* ndiBase = ObjectBase(reinterpret_cast<const void*>(&ndi_standin_live_finders));
	ASSERT_NE(pluginBase, hostBase);

	// Creating the first actor: the plug-in allocates, and asks the host for its record and the
	// runtime for a finder, whose allocations are theirs although the plug-in's frames are above.
	pa::StartRecording();
	refhost::Actor* actor = host.CreateActor();
	std::vector<pa::Decision> created = pa::StopRecording();
	bool hostBeneathPlugin = false, runtimeBeneathPlugin = false;
	for (const pa::Decision& d : created) {
		EXPECT_EQ(d.plugin, ObjectBase(d.frame) == pluginBase);
		hostBeneathPlugin = hostBeneathPlugin || (!d.plugin && d.pluginAbove && ObjectBase(d.frame) == hostBase);
		runtimeBeneathPlugin = runtimeBeneathPlugin || (!d.plugin && d.pluginAbove && ObjectBase(d.frame) == ndiBase);
	}
	EXPECT_TRUE(hostBeneathPlugin) << "the host's AllocateMemory bookkeeping, called by the plug-in";
	EXPECT_TRUE(runtimeBeneathPlugin) << "the NDI stand-in's finder, made for the plug-in";

	// The host alone: an input stored for an inactive actor reaches no plug-in code.
	pa::Reset();
	pa::StartRecording();
	host.SetInput(actor, kSource, HostValue::Text(std::string(300, 'x')));
	std::vector<pa::Decision> hostOnly = pa::StopRecording();
	EXPECT_FALSE(hostOnly.empty());
	EXPECT_EQ(pa::Count(pa::kHostThread), 0);
	for (const pa::Decision& d : hostOnly)
		EXPECT_FALSE(d.plugin || d.pluginAbove);

	// A call known to allocate in the plug-in: the device popup builds its list of entries in
	// the plug-in's own code and copies the device names through the C++ library.
	pa::Reset();
	pa::StartRecording();
	refhost::Host::Popup popup = host.PopupMenu(actor, 1, kAudioOut, 4096);
	std::vector<pa::Decision> inPopup = pa::StopRecording();
	EXPECT_NE(popup.text.find(kBuiltIn), std::string::npos);
	long direct = 0, throughLibrary = 0, others = 0;
	for (const pa::Decision& d : inPopup) {
		EXPECT_EQ(d.plugin, ObjectBase(d.frame) == pluginBase);
		if (d.plugin)
			++(d.viaRuntime ? throughLibrary : direct);
		else
			++others;
	}
	EXPECT_GT(direct, 0);
	EXPECT_GT(throughLibrary, 0) << "std::string copies made for the plug-in are its own";
	EXPECT_GT(others, 0) << "the host's own buffer and text around the call";
	EXPECT_EQ(pa::Count(pa::kHostThread), direct + throughLibrary);
	EXPECT_EQ(pa::Undecided(), 0);

	// Failing the plug-in's first allocation there fails the plug-in's, not the host's: the host
	// call comes back normally (the plug-in keeps the exception to itself) with no list.
	pa::Reset();
	pa::FailNth(pa::kHostThread, 1);
	popup = host.PopupMenu(actor, 1, kAudioOut, 4096);
	EXPECT_TRUE(pa::Failed());
	EXPECT_EQ(popup.text.find(kBuiltIn), std::string::npos);
	pa::Reset();
	EXPECT_NE(host.PopupMenu(actor, 1, kAudioOut, 4096).text.find(kBuiltIn), std::string::npos);

	host.DisposeActor(actor);
}
