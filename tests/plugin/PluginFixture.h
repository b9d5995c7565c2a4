// A loaded plug-in in a fresh reference host, checked on the way out: no trap slot called, no
// service misused, and no assertion the test did not take for itself.
#ifndef PLUGIN_FIXTURE_H
#define PLUGIN_FIXTURE_H

#include "RefHost.h"
#include "ndi_standin_control.h"

#include <gtest/gtest.h>

#include <string>

class PluginTest : public ::testing::Test {
protected:
	void SetUp() override {
		ndi_standin_set_version(nullptr);
		std::string error;
		ASSERT_TRUE(host.Load(VIDRANE_PLUGIN_PATH, &error)) << error;
	}
	void TearDown() override {
		host.Unload();
		for (size_t offset : host.trapsCalled())
			ADD_FAILURE() << "the plug-in called undefined service slot " << offset;
		for (const auto& e : host.errors())
			ADD_FAILURE() << "host service misused: " << e;
		for (const auto& a : host.assertions())
			ADD_FAILURE() << "unexpected assertion '" << a.condition << "' at line " << a.line;
		EXPECT_EQ(host.outstandingAllocations(), 0u) << "host allocations leaked";
		ndi_standin_set_version(nullptr);
	}
	// Takes the assertions recorded so far, so that TearDown does not count them.
	std::vector<refhost::Assertion> TakeAssertions() {
		auto taken = host.assertions();
		taken_ += taken.size();
		host.ClearRecords();
		return taken;
	}

	refhost::Host host;
	size_t taken_ = 0;
};

#endif
