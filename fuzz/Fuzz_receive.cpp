// NDI video and audio records with any field values through the receive path: the shared input's
// receive thread captures them from the scripted runtime, keeps or returns video, turns audio into
// blocks for an AudioQueue that is then played; the host's side takes the newest frame as an
// actor would. A frame that reaches the actor must be one the rules let through; every record
// goes back to the runtime exactly once (the runtime checks).
#include "FuzzRuntime.h"

#include "AudioOut.h"
#include "NDIInput.h"
#include "apple_standin_control.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

NDIInput* gInput = nullptr;
NDIFrame* gShown = nullptr; // kept like an actor keeps its current frame
std::string gDevices[2];

void Shown(void*, NDIFrame* frame) {
	const NDIlib_video_frame_v2_t& v = frame->mFrame;
	const bool usable = (v.FourCC == NDIlib_FourCC_video_type_BGRX || v.FourCC == NDIlib_FourCC_video_type_BGRA) &&
	                    v.p_data && v.xres > 0 && v.yres > 0 && int64_t(v.line_stride_in_bytes) >= int64_t(v.xres) * 4;
	if (!usable) {
		fprintf(stderr, "a frame of %d x %d, stride %d, FourCC %08x, data %p reached the actor\n", v.xres, v.yres,
		        v.line_stride_in_bytes, uint32_t(v.FourCC), static_cast<void*>(v.p_data));
		abort();
	}
	frame->Retain();
	if (gShown)
		gShown->Release();
	gShown = frame;
}
NDIInputClient gClient{Shown, &gInput};

void Finish() {
	if (gShown)
		gShown->Release();
	gShown = nullptr;
	if (gInput) {
		gInput->mClients.RemoveClient(&gClient);
		gInput->Release();
		gInput = nullptr;
	}
	fuzzrt::WaitClosed(20000);
	while (NDIInput::sNDIInputThreadsRunning.load() > 0)
		std::this_thread::yield(); // the thread's last steps after the runtime let it go
	NDIInput::JoinFinishedThreads();
}

bool HasContext() {
	gInput->mLock.Lock();
	const bool has = gInput->mAudioContext != nullptr;
	gInput->mLock.Unlock();
	return has;
}

NDIlib_FourCC_video_type_e FourCC(FuzzedDataProvider& in) {
	static const NDIlib_FourCC_video_type_e kKnown[] = {
		NDIlib_FourCC_video_type_BGRX, NDIlib_FourCC_video_type_BGRA, NDIlib_FourCC_video_type_UYVY,
		NDIlib_FourCC_video_type_UYVA, NDIlib_FourCC_video_type_RGBA, NDIlib_FourCC_video_type_RGBX};
	if (in.ConsumeBool())
		return NDIlib_FourCC_video_type_e(in.ConsumeIntegral<int32_t>());
	return kKnown[in.ConsumeIntegralInRange<size_t>(0, 5)];
}

fuzzrt::Record ReadRecord(FuzzedDataProvider& in) {
	static const NDIlib_frame_type_e kTypes[] = {NDIlib_frame_type_video, NDIlib_frame_type_audio,
	                                             NDIlib_frame_type_video, NDIlib_frame_type_audio,
	                                             NDIlib_frame_type_metadata, NDIlib_frame_type_error,
	                                             NDIlib_frame_type_status_change, NDIlib_frame_type_source_change};
	fuzzrt::Record r;
	r.type = kTypes[in.ConsumeIntegralInRange<size_t>(0, 7)];
	r.nullData = in.ConsumeIntegralInRange(0, 15) == 0;
	if (r.type == NDIlib_frame_type_video) {
		r.video.xres = in.ConsumeIntegral<int32_t>();
		r.video.yres = in.ConsumeIntegral<int32_t>();
		r.video.FourCC = FourCC(in);
		r.video.line_stride_in_bytes = in.ConsumeIntegral<int32_t>();
		r.video.frame_format_type = NDIlib_frame_format_type_e(in.ConsumeIntegralInRange(0, 3));
		r.video.frame_rate_N = in.ConsumeIntegral<int32_t>();
		r.video.frame_rate_D = in.ConsumeIntegral<int32_t>();
	} else if (r.type == NDIlib_frame_type_audio) {
		r.audio.sample_rate = in.ConsumeIntegral<int32_t>();
		r.audio.no_channels = in.ConsumeIntegral<int32_t>();
		r.audio.no_samples = in.ConsumeIntegral<int32_t>();
		r.audio.channel_stride_in_bytes = in.ConsumeIntegral<int32_t>();
	}
	return r;
}

void Drain(const std::vector<fuzzrt::Record>& records) {
	fuzzrt::Push(records);
	if (!fuzzrt::WaitDrained(20000)) {
		fprintf(stderr, "the receive thread did not come back for more within 20 s\n");
		abort();
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
	apple_standin_set_manual_pump(true); // the fuzzer plays the queue, nothing else does
	NDIInputMgr& manager = NDIInputMgr::sNDIInputMgr;
	manager.PrepareAudioDevices();
	gDevices[0] = manager.AudioDeviceNameToPersistentID("Built-in Output");
	gDevices[1] = manager.AudioDeviceNameToPersistentID("Studio Interface");
	gInput = manager.AcquireNDIInput(nullptr, fuzzrt::kSourceName, kNDIBandwidthHigh, "None");
	if (!gInput || gDevices[0].empty() || gDevices[1].empty())
		abort();
	gInput->mClients.AddClient(&gClient);
	if (!fuzzrt::WaitConnected(20000))
		abort();
	atexit(Finish);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
	FuzzedDataProvider in(data, size);
	const int device = in.ConsumeIntegralInRange(0, 2); // none, two channels, six channels
	gInput->SetAudioOutputPersistentID(device == 0 ? std::string() : gDevices[device - 1]);
	gInput->SetVolume(in.ConsumeFloatingPointInRange<float>(0.0f, 1.0f));
	const int pumps = in.ConsumeIntegralInRange(0, 3);
	std::vector<fuzzrt::Record> records;
	while (records.size() < 8 && in.remaining_bytes() > 0)
		records.push_back(ReadRecord(in));
	if (records.empty())
		return 0;

	Drain(records);
	gInput->Service();
	if (HasContext() && pumps > 0) {
		AudioQueueRef queue = apple_standin_queue(apple_standin_queues_created() - 1);
		if (queue)
			apple_standin_pump(queue, pumps);
	}
	// Nothing lent but the frame the actor shows (the slot was emptied by Service).
	if (fuzzrt::Lent() != (gShown ? 1 : 0)) {
		fprintf(stderr, "%d records lent, %d expected\n", fuzzrt::Lent(), gShown ? 1 : 0);
		abort();
	}

	// Back to no device: one plain audio record lets the context go, with every block it held.
	if (HasContext()) {
		gInput->SetAudioOutputPersistentID(std::string());
		fuzzrt::Record plain;
		plain.type = NDIlib_frame_type_audio;
		plain.audio.sample_rate = 48000;
		plain.audio.no_channels = 1;
		plain.audio.no_samples = 4;
		plain.audio.channel_stride_in_bytes = 16;
		Drain({plain});
		if (HasContext() || apple_standin_queues_live() != 0) {
			fprintf(stderr, "the audio context outlived its device\n");
			abort();
		}
		apple_standin_reset_queues(); // the recordings of what was played
	}
	return 0;
}
