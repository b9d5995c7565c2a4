// The Windows device list against wine's real MMDevice endpoints, which a private PulseAudio
// server with two null sinks provides (tests/audio/with-pulse.sh starts it around this test).
#include "AudioDevices.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(WasapiDeviceList, NullSinksAppearAsRenderEndpointsWithTheirFormats) {
	CDeviceDescList list(kDeviceTypeOutput);
	CDeviceDescList::UpdateDeviceDescList(list);
	unsigned long studio = 0, desk = 0;
	ASSERT_TRUE(list.FindByName("Studio_Speakers", studio)) << list.GetCount() << " devices listed";
	ASSERT_TRUE(list.FindByName("Desk_Six", desk));
	CDeviceDesc a, b;
	ASSERT_TRUE(list.GetDevice(studio, a));
	ASSERT_TRUE(list.GetDevice(desk, b));
	EXPECT_EQ(a.mChannels, 2u);
	EXPECT_EQ(a.mSampleRate, 44100.0);
	EXPECT_EQ(b.mChannels, 6u);
	EXPECT_EQ(b.mSampleRate, 48000.0);
	EXPECT_EQ(a.mBitsPerSample, 32u);
	EXPECT_FALSE(a.mPersistentID.empty());
	EXPECT_NE(a.mPersistentID, b.mPersistentID);

	// Every entry is a render endpoint with its own id, and none is flagged as the default.
	std::set<std::string> ids;
	for (const CDeviceDesc& d : list.GetDevices()) {
		EXPECT_FALSE(d.mIsDefault) << d.mName;
		EXPECT_GT(d.mChannels, 0u) << d.mName;
		EXPECT_TRUE(ids.insert(d.mPersistentID).second) << d.mName;
	}
	CDeviceDesc none;
	EXPECT_FALSE(list.GetDefaultDevice(none));

	// The monitors of the sinks are capture endpoints: in an input list, not in the output one.
	CDeviceDescList inputs(kDeviceTypeInput);
	CDeviceDescList::UpdateDeviceDescList(inputs);
	for (const CDeviceDesc& d : inputs.GetDevices()) {
		EXPECT_EQ(d.mChannels, 0u) << d.mName;
		EXPECT_EQ(ids.count(d.mPersistentID), 0u) << d.mName;
	}
}

} // namespace
