#include "MonitorRecorder.h"

// The friendly name's key is defined here (selectable: the plug-in's core defines it too).
#include <initguid.h>
#include <functiondiscoverykeys_devpkey.h>

IMMDevice* FindEndpoint(EDataFlow flow, const std::wstring& name) {
	IMMDeviceEnumerator* enumerator = nullptr;
	if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
	                            reinterpret_cast<void**>(&enumerator))))
		return nullptr;
	IMMDevice* found = nullptr;
	IMMDeviceCollection* devices = nullptr;
	UINT count = 0;
	if (SUCCEEDED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &devices)) && SUCCEEDED(devices->GetCount(&count))) {
		for (UINT i = 0; i < count && !found; ++i) {
			IMMDevice* device = nullptr;
			IPropertyStore* store = nullptr;
			if (FAILED(devices->Item(i, &device)))
				continue;
			PROPVARIANT value;
			PropVariantInit(&value);
			if (SUCCEEDED(device->OpenPropertyStore(STGM_READ, &store)) && SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value))
			    && value.vt == VT_LPWSTR && name == value.pwszVal)
				found = device;
			else
				device->Release();
			PropVariantClear(&value);
			if (store)
				store->Release();
		}
		devices->Release();
	}
	enumerator->Release();
	return found;
}

MonitorRecorder::~MonitorRecorder() {
	mStop = true;
	if (mEvent)
		SetEvent(mEvent);
	if (mThread.joinable())
		mThread.join();
	if (mEvent)
		CloseHandle(mEvent);
}

bool MonitorRecorder::Start(const std::wstring& sinkName, double seconds) {
	mEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
	if (!mEvent)
		return false;
	mThread = std::thread(&MonitorRecorder::Run, this, sinkName, seconds);
	std::unique_lock<std::mutex> lock(mLock);
	mChanged.wait(lock, [&] { return mOpened != 0; });
	return mOpened > 0;
}

bool MonitorRecorder::WaitRunning(double seconds) {
	std::unique_lock<std::mutex> lock(mLock);
	return mChanged.wait_for(lock, std::chrono::seconds(30),
	                         [&] { return mCount.load() >= static_cast<size_t>(seconds * mRate) * mChannels; });
}

bool MonitorRecorder::WaitFor(const std::function<bool(const std::vector<float>&)>& done, std::chrono::milliseconds timeout) {
	std::unique_lock<std::mutex> lock(mLock);
	return mChanged.wait_for(lock, timeout, [&] { return done(mSamples); });
}

const std::vector<float>& MonitorRecorder::Wait() {
	if (mThread.joinable())
		mThread.join();
	return mSamples;
}

bool MonitorRecorder::Open(const std::wstring& sinkName) {
	IMMDevice* device = FindEndpoint(eCapture, L"Monitor of " + sinkName);
	if (!device)
		return false;
	bool ok = SUCCEEDED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&mClient)));
	device->Release();
	WAVEFORMATEX* format = nullptr;
	ok = ok && SUCCEEDED(mClient->GetMixFormat(&format)) && format->wBitsPerSample == 32
	     && SUCCEEDED(mClient->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 10000000, 0, format, nullptr))
	     && SUCCEEDED(mClient->SetEventHandle(mEvent))
	     && SUCCEEDED(mClient->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&mCapture)))
	     && SUCCEEDED(mClient->Start());
	if (format) {
		mChannels = format->nChannels;
		mRate = static_cast<int>(format->nSamplesPerSec);
	}
	CoTaskMemFree(format);
	return ok;
}

void MonitorRecorder::Run(std::wstring sinkName, double seconds) {
	const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
	const bool opened = Open(sinkName);
	{
		std::lock_guard<std::mutex> lock(mLock);
		mOpened = opened ? 1 : -1;
	}
	mChanged.notify_all();
	const size_t wanted = static_cast<size_t>(seconds * mRate) * mChannels;
	// As long as asked for, and then some: a monitor that stalls must not keep a test for ever.
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds + 30.0);
	while (opened && mCount < wanted && !mStop && std::chrono::steady_clock::now() < deadline) {
		WaitForSingleObject(mEvent, 1000);
		UINT32 packet = 0;
		while (SUCCEEDED(mCapture->GetNextPacketSize(&packet)) && packet > 0) {
			BYTE* data = nullptr;
			UINT32 frames = 0;
			DWORD flags = 0;
			if (FAILED(mCapture->GetBuffer(&data, &frames, &flags, nullptr, nullptr)))
				break;
			const float* samples = reinterpret_cast<const float*>(data);
			const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
			{
				std::lock_guard<std::mutex> lock(mLock);
				for (size_t i = 0; i < static_cast<size_t>(frames) * mChannels; ++i)
					mSamples.push_back((flags & AUDCLNT_BUFFERFLAGS_SILENT) ? 0.0f : samples[i]);
				mCount = mSamples.size();
				mTimeline.emplace_back(now, mSamples.size() / mChannels);
			}
			mCapture->ReleaseBuffer(frames);
			mChanged.notify_all();
		}
	}
	if (mClient)
		mClient->Stop();
	if (mCapture)
		mCapture->Release();
	if (mClient)
		mClient->Release();
	mCapture = nullptr;
	mClient = nullptr;
	if (SUCCEEDED(com))
		CoUninitialize();
}

MonitorRecorder::Line MonitorRecorder::SteadyLine(double skipSeconds) {
	std::lock_guard<std::mutex> lock(mLock);
	Line line;
	if (mTimeline.empty())
		return line;
	// Least squares of time against frames, for the packets past the first seconds.
	const double from = mTimeline.front().first + skipSeconds;
	double n = 0, sf = 0, st = 0, sff = 0, sft = 0;
	for (const auto& point : mTimeline) {
		if (point.first < from)
			continue;
		const double f = static_cast<double>(point.second), t = point.first;
		n += 1, sf += f, st += t, sff += f * f, sft += f * t;
	}
	const double denominator = n * sff - sf * sf;
	if (n < 3 || denominator <= 0.0)
		return line;
	const double secondsPerFrame = (n * sft - sf * st) / denominator;
	line.mRate = 1.0 / secondsPerFrame;
	line.mStart = (st - secondsPerFrame * sf) / n;
	return line;
}
