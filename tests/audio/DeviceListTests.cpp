// The device list on the macOS code path, against the Apple stand-in's device table.
#include "AudioDevices.h"
#include "apple_standin_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

AppleStandinDevice Output(const char* name, const char* uid, UInt32 channels, bool isDefault = false) {
	return AppleStandinDevice{name, uid, 0, 0, 1, channels, 48000.0, 32, false, isDefault};
}

CDeviceDescList Rebuilt(DeviceType type = kDeviceTypeOutput) {
	CDeviceDescList list(type);
	CDeviceDescList::UpdateDeviceDescList(list);
	return list;
}

class DeviceList : public ::testing::Test {
protected:
	void SetUp() override {
		apple_standin_clear_faults();
		apple_standin_reset_devices();
	}
	void TearDown() override {
		EXPECT_EQ(apple_standin_cf_live(), 0) << "a CoreFoundation object was leaked";
		EXPECT_EQ(apple_standin_misuse_count(), 0);
	}
};

TEST_F(DeviceList, MachineWithoutDevicesGivesAnEmptyList) {
	apple_standin_set_devices(nullptr, 0);
	CDeviceDescList list = Rebuilt();
	EXPECT_EQ(list.GetCount(), 0u);
	unsigned long index = 42;
	EXPECT_FALSE(list.FindByName("Built-in Output", index));
	EXPECT_FALSE(list.FindByName("", index));
	EXPECT_EQ(index, 42u);
	CDeviceDesc desc("kept", "k", false, 1, 2.0, 3);
	EXPECT_FALSE(list.GetDefaultDevice(desc));
	EXPECT_EQ(desc.mName, "kept");
}

TEST_F(DeviceList, OutputListKeepsDevicesWithOutputStreamsInTheirOrder) {
	AppleStandinDevice devices[] = {
		{"Microphone", "mic", 1, 2, 0, 0, 44100.0, 32, true, false}, // input only
		{"Desk", "desk-uid", 1, 1, 2, 8, 96000.0, 24, false, true},   // both, default output
		{"Silent Stream", "silent", 0, 0, 1, 0, 48000.0, 32, false, false},
	};
	apple_standin_set_devices(devices, 3);
	CDeviceDescList list = Rebuilt();
	ASSERT_EQ(list.GetCount(), 2u);
	CDeviceDesc desk, silent;
	ASSERT_TRUE(list.GetDevice(0, desk));
	ASSERT_TRUE(list.GetDevice(1, silent));
	EXPECT_EQ(desk.mName, "Desk");
	EXPECT_EQ(desk.mPersistentID, "desk-uid");
	EXPECT_TRUE(desk.mIsDefault);
	EXPECT_EQ(desk.mChannels, 8u);
	EXPECT_EQ(desk.mSampleRate, 96000.0);
	EXPECT_EQ(desk.mBitsPerSample, 24u);
	EXPECT_EQ(silent.mName, "Silent Stream") << "an output stream of 0 channels still counts";
	EXPECT_EQ(silent.mChannels, 0u);
	EXPECT_FALSE(silent.mIsDefault);

	CDeviceDesc chosen;
	ASSERT_TRUE(list.GetDefaultDevice(chosen));
	EXPECT_EQ(chosen.mPersistentID, "desk-uid");

	// The same machine seen as inputs: the default flag follows the input default.
	CDeviceDescList inputs = Rebuilt(kDeviceTypeInput);
	ASSERT_EQ(inputs.GetCount(), 2u);
	CDeviceDesc mic;
	inputs.GetDevice(0, mic);
	EXPECT_EQ(mic.mName, "Microphone");
	EXPECT_TRUE(mic.mIsDefault);
	EXPECT_EQ(mic.mChannels, 0u) << "channels count outputs only";
}

TEST_F(DeviceList, NamesMatchExactlyAndTheFirstOfTwoWins) {
	AppleStandinDevice devices[] = {Output("Twin", "twin-1", 2), Output("None", "none-uid", 2),
	                                Output("Twin", "twin-2", 2), Output("Speakers", "spk", 2)};
	apple_standin_set_devices(devices, 4);
	CDeviceDescList list = Rebuilt();
	unsigned long index = 99;
	ASSERT_TRUE(list.FindByName("Twin", index));
	EXPECT_EQ(index, 0u);
	ASSERT_TRUE(list.FindByName("None", index)) << "a device may be called None";
	EXPECT_EQ(index, 1u);
	ASSERT_TRUE(list.FindByName("Speakers", index));
	EXPECT_EQ(index, 3u);
	for (const char* near : {"speakers", "Speakers ", " Speakers", "Speaker", ""}) {
		index = 99;
		EXPECT_FALSE(list.FindByName(near, index)) << '"' << near << '"';
		EXPECT_EQ(index, 99u);
	}
	CDeviceDesc none;
	EXPECT_FALSE(list.GetDefaultDevice(none)) << "no device is the default output";
}

TEST_F(DeviceList, ADeviceWhoseNameUIDOrRateCannotBeReadIsSkipped) {
	AppleStandinDevice devices[] = {Output("A", "a", 2), Output("B", "b", 2), Output("C", "c", 2), Output("D", "d", 2, true)};
	apple_standin_set_devices(devices, 4);
	apple_standin_fail_property(apple_standin_device_id(0), kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
		kAppleStandinDataRead, kAudioHardwareUnspecifiedError, -1);
	apple_standin_fail_property(apple_standin_device_id(1), kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal,
		kAppleStandinDataRead, kAudioHardwareUnspecifiedError, -1);
	apple_standin_fail_property(apple_standin_device_id(2), kAudioDevicePropertyNominalSampleRate,
		kAudioObjectPropertyScopeGlobal, kAppleStandinDataRead, kAudioHardwareUnspecifiedError, -1);
	CDeviceDescList list = Rebuilt();
	ASSERT_EQ(list.GetCount(), 1u);
	CDeviceDesc d;
	list.GetDevice(0, d);
	EXPECT_EQ(d.mName, "D");
	// The name read for B was released even though B was left out (the fixture checks).
}

TEST_F(DeviceList, StreamFailuresLowerWhatIsKnownOrLeaveTheDeviceOut) {
	AppleStandinDevice devices[] = {Output("Odd Format", "odd", 2), Output("No Config", "noconf", 2),
	                                {"Duplex", "duplex", 1, 1, 1, 4, 48000.0, 32, false, false}};
	apple_standin_set_devices(devices, 3);
	// A stream format of any size but 40 bytes is not read.
	apple_standin_override_property_size(apple_standin_device_id(0), kAudioDevicePropertyStreamFormat,
		kAudioDevicePropertyScopeOutput, 36);
	apple_standin_fail_property(apple_standin_device_id(1), kAudioDevicePropertyStreamConfiguration,
		kAudioDevicePropertyScopeOutput, kAppleStandinDataRead, kAudioHardwareUnspecifiedError, -1);
	apple_standin_fail_property(apple_standin_device_id(2), kAudioDevicePropertyStreamFormat,
		kAudioDevicePropertyScopeOutput, kAppleStandinSizeQuery, kAudioHardwareUnspecifiedError, -1);
	CDeviceDescList list = Rebuilt();
	ASSERT_EQ(list.GetCount(), 2u);
	CDeviceDesc odd, duplex;
	list.GetDevice(0, odd);
	list.GetDevice(1, duplex);
	EXPECT_EQ(odd.mName, "Odd Format");
	EXPECT_EQ(odd.mChannels, 2u);
	EXPECT_EQ(odd.mBitsPerSample, 0u);
	EXPECT_EQ(duplex.mName, "Duplex");
	EXPECT_EQ(duplex.mBitsPerSample, 0u);
}

TEST_F(DeviceList, TheDeviceArrayDecidesWhichDevicesAreSeen) {
	AppleStandinDevice devices[] = {Output("A", "a", 2), Output("B", "b", 2), Output("C", "c", 2)};
	apple_standin_set_devices(devices, 3);
	// A size that is not a multiple of 4 is rounded down: two ids.
	apple_standin_override_property_size(kAudioObjectSystemObject, kAudioHardwarePropertyDevices,
		kAudioObjectPropertyScopeGlobal, 11);
	EXPECT_EQ(Rebuilt().GetCount(), 2u);
	apple_standin_clear_faults();

	apple_standin_fail_property(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
		kAppleStandinDataRead, kAudioHardwareUnspecifiedError, 1);
	EXPECT_EQ(Rebuilt().GetCount(), 0u);
	apple_standin_fail_property(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
		kAppleStandinSizeQuery, kAudioHardwareUnspecifiedError, 1);
	EXPECT_EQ(Rebuilt().GetCount(), 0u);
	EXPECT_EQ(Rebuilt().GetCount(), 3u);
}

TEST_F(DeviceList, AFailedDefaultReadLeavesNoDefault) {
	AppleStandinDevice devices[] = {Output("A", "a", 2, true)};
	apple_standin_set_devices(devices, 1);
	apple_standin_fail_property(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice,
		kAudioObjectPropertyScopeGlobal, kAppleStandinDataRead, kAudioHardwareUnspecifiedError, 1);
	CDeviceDesc desc;
	EXPECT_FALSE(Rebuilt().GetDefaultDevice(desc));
	EXPECT_TRUE(Rebuilt().GetDefaultDevice(desc));
}

TEST_F(DeviceList, ANameTooLongForTheConversionLeavesTheDeviceOut) {
	const std::string longName(1024, 'n'); // 1024 bytes and the NUL do not fit in 1024
	const std::string fits(1023, 'f');
	AppleStandinDevice devices[] = {Output(longName.c_str(), "long", 2), Output(fits.c_str(), "fits", 2)};
	apple_standin_set_devices(devices, 2);
	CDeviceDescList list = Rebuilt();
	ASSERT_EQ(list.GetCount(), 1u);
	CDeviceDesc d;
	list.GetDevice(0, d);
	EXPECT_EQ(d.mName, fits);
}

TEST_F(DeviceList, ARebuildReplacesTheWholeListAndAssignKeepsTheType) {
	AppleStandinDevice first[] = {Output("A", "a", 2), Output("B", "b", 2)};
	apple_standin_set_devices(first, 2);
	CDeviceDescList list(kDeviceTypeOutput);
	CDeviceDescList::UpdateDeviceDescList(list);
	CDeviceDescList copy(list);
	AppleStandinDevice second[] = {Output("C", "c", 2)};
	apple_standin_set_devices(second, 1);
	CDeviceDescList::UpdateDeviceDescList(list);
	ASSERT_EQ(list.GetCount(), 1u);
	EXPECT_EQ(copy.GetCount(), 2u) << "a copy owns its entries";

	CDeviceDescList inputs(kDeviceTypeInput);
	inputs.Assign(copy);
	EXPECT_EQ(inputs.GetCount(), 2u);
	EXPECT_EQ(inputs.GetDeviceType(), kDeviceTypeInput);
}

// Readers on other threads while the list is replaced: every reader sees a whole list.
TEST_F(DeviceList, ReadersSeeWholeListsWhileItIsReplaced) {
	AppleStandinDevice two[] = {Output("A", "a", 2), Output("B", "b", 2)};
	AppleStandinDevice four[] = {Output("A", "a", 2), Output("B", "b", 2), Output("C", "c", 2), Output("D", "d", 2)};
	apple_standin_set_devices(two, 2);
	CDeviceDescList small = Rebuilt();
	apple_standin_set_devices(four, 4);
	CDeviceDescList large = Rebuilt();

	CDeviceDescList shared(kDeviceTypeOutput);
	shared.Assign(small);
	std::atomic<bool> done{false};
	std::atomic<int> torn{0};
	std::thread reader([&] {
		while (!done) {
			unsigned long count = shared.GetDevices().size();
			unsigned long index = 0;
			bool hasD = shared.FindByName("D", index);
			if ((count != 2 && count != 4) || (hasD && index != 3))
				++torn;
		}
	});
	for (int i = 0; i < 2000; ++i)
		shared.Assign(i % 2 ? small : large);
	done = true;
	reader.join();
	EXPECT_EQ(torn, 0);
}

} // namespace
