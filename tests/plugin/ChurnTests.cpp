// Churn: actors created, activated, retargeted between sources, given other bandwidths, devices
// and volumes, deactivated and disposed, thousands of times, while sources come and go and frames
// and audio flow. Run under ThreadSanitizer too; every account must be at zero afterwards.
#include "ActorFixture.h"

#include <random>

using namespace actortest;
using refhost::HostValue;

namespace {

constexpr int kCycles = 10000;
#ifdef _WIN32
const char* const kDevices[] = {"None", "Nowhere"};
#else
const char* const kDevices[] = {"None", "Built-in Output", "Studio Interface"};
#endif

ndi_standin_pattern_t* StartPattern(const char* name, int channels) {
	ndi_standin_pattern_settings_t settings;
	ndi_standin_pattern_defaults(&settings);
	settings.name = name;
	settings.xres = 160;
	settings.yres = 16;
	settings.frame_rate_N = 240; // plenty of frames while the loop runs
	settings.no_channels = channels;
	settings.samples_per_frame = 200;
	return ndi_standin_pattern_start(&settings);
}

} // namespace

TEST_F(ActorTest, ChurnLeavesNothingBehind) {
	ndi_standin_pattern_t* patterns[2] = {StartPattern("Churn A", 2), StartPattern("Churn B", 6)};
	ASSERT_NE(patterns[0], nullptr);
	ASSERT_NE(patterns[1], nullptr);
	const std::string sources[] = {ndi_standin_pattern_source_name(patterns[0]),
	                               ndi_standin_pattern_source_name(patterns[1]), "TEST (Never There)", ""};

	std::mt19937 random(20261208);
	auto pick = [&](int n) { return int(random() % uint32_t(n)); };
	std::vector<refhost::Actor*> actors;
	for (int i = 0; i < 4; ++i)
		actors.push_back(ActiveActor(sources[i % 2]));

	int64_t framesShown = 0;
	for (int cycle = 0; cycle < kCycles; ++cycle) {
		refhost::Actor*& actor = actors[size_t(pick(int(actors.size())))];
		switch (pick(8)) {
		case 0:
			host.SetInput(actor, kSource, HostValue::Text(sources[pick(4)]));
			break;
		case 1:
			host.SetInput(actor, kBandwidth, HostValue::Integer(pick(2)));
			break;
		case 2:
			host.SetInput(actor, kAudioOut, HostValue::Text(kDevices[pick(int(sizeof(kDevices) / sizeof(*kDevices)))]));
			break;
		case 3:
			host.SetInput(actor, kVolume, HostValue::Real(pick(101)));
			break;
		case 4:
			host.Activate(actor, !actor->active);
			break;
		case 5:
			if (pick(4) == 0) {
				host.DisposeActor(actor);
				actor = ActiveActor(sources[pick(4)]);
			}
			break;
		case 6:
			if (pick(50) == 0) // a source goes away for a while, or comes back
				ndi_standin_set_source_online(sources[pick(2)].c_str(), pick(2) == 0);
			break;
		default:
			host.SendTeardown(actor);
			break;
		}
		host.AdvanceTime(16);
		host.Tick();
		framesShown = int64_t(host.imageUpdates().size());
	}
	ndi_standin_set_source_online(sources[0].c_str(), true);
	ndi_standin_set_source_online(sources[1].c_str(), true);
	EXPECT_GT(framesShown, 0) << "frames flowed during the churn";
	RecordProperty("cycles", kCycles);
	RecordProperty("frames_shown", int(framesShown));
	RecordProperty("receivers_made", ndi_standin_call_count("NDIlib_recv_create_v3"));
	printf("churn: %d cycles, %lld frames shown, %d receivers made\n", kCycles, (long long)framesShown,
	       ndi_standin_call_count("NDIlib_recv_create_v3"));

	for (refhost::Actor* actor : actors)
		host.DisposeActor(actor);
	ndi_standin_pattern_stop(patterns[0]);
	ndi_standin_pattern_stop(patterns[1]);
	// The fixture checks the accounts: receivers, finders, lent frames, runtime, textures, queues.
}
