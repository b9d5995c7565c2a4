// Memory running out, met by the loaded plug-in: every allocation the plug-in makes in a user's
// session (an actor created, activated, shown a source with video and audio, moved to another
// audio device, given another volume, deactivated and disposed) is failed in turn, one per run,
// on the host's thread and on the plug-in's own threads. Each run must end without a crash or a
// hang, with every account back at zero and the plug-in's own heap empty once it is unloaded.
//
// Each run is a child process forked from a parent that has loaded the plug-in and made no actor
// yet: every run starts from a freshly loaded plug-in, and a run that crashes or hangs is
// reported while the sweep goes on. The child unloads the plug-in at the end, so that whatever
// the plug-in still holds on its heap shows.
#include "plugin/ActorFixture.h"

#include "PluginAllocations.h"

#include <sanitizer/common_interface_defs.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>

using namespace actortest;
using plugin_allocations::Side;
using refhost::HostValue;

namespace {

namespace pa = plugin_allocations;

// Waits the scenario needs before the failure is injected (or in a run without one): the
// scenario must go exactly as in the counting run, so these always come true, well within this.
constexpr int kRequiredWaitMs = 15000;
// After the failure the run only has to end cleanly; a condition the failure may have made
// impossible (an actor left without an input, say) is given this long before the run moves on.
constexpr int kAfterFailureWaitMs = 500;
// A run that reports no progress for this long is taken for hung and killed.
constexpr int kStepDeadlineMs = 30000;
// After this many hung runs the rest of the sweep is reported as not run.
constexpr int kMaxHungRuns = 4;

const char kBuiltIn[] = "Built-in Output";
const char kStudio[] = "Studio Interface";

// The plug-in's GetActorInfo filled the record with its callbacks: any of them lies in its code.
const void* PluginCode(const refhost::Host& host) {
	const void* code = nullptr;
	memcpy(&code, host.infoRecord().data() + refhost::off::kInfoCreateActor, sizeof(code));
	return code;
}

// A symbol's name without its parameter list.
std::string Bare(std::string name) {
	size_t end = name.size();
	if (name.size() > 6 && name.compare(name.size() - 6, 6, " const") == 0)
		end -= 6;
	if (end == 0 || name[end - 1] != ')')
		return name;
	int depth = 0;
	for (size_t i = end; i-- > 0;) {
		if (name[i] == ')')
			++depth;
		else if (name[i] == '(' && --depth == 0)
			return name.substr(0, i);
	}
	return name;
}

// The frames of this project's own code (not the C++ library's templates), innermost first.
std::string Symbolized(const std::vector<const void*>& frames, size_t most) {
	std::string text;
	size_t shown = 0;
	for (const void* pc : frames) {
		char name[1024] = {}, file[512] = {}, module[512] = {};
		__sanitizer_symbolize_pc(const_cast<void*>(pc), "%f", name, sizeof(name));
		__sanitizer_symbolize_pc(const_cast<void*>(pc), "%s", file, sizeof(file));
		__sanitizer_symbolize_pc(const_cast<void*>(pc), "%m", module, sizeof(module));
		if (!name[0] || strcmp(name, "<null>") == 0 || strncmp(file, "/usr/", 5) == 0 ||
		    strncmp(module, "/usr/", 5) == 0 || strncmp(module, "/lib", 4) == 0)
			continue;
		text += (text.empty() ? "" : " < ") + Bare(name);
		if (++shown == most)
			break;
	}
	return text.empty() ? "(no symbols)" : text;
}

// ---- One run, in the child ---------------------------------------------------------------------

// Where the child writes its progress; the terminate handler writes there too.
int gReportFd = -1;

void Report(const std::string& line) {
	std::string text = line;
	for (char& c : text)
		if (c == '\n')
			c = ' ';
	text += '\n';
	ssize_t ignored = write(gReportFd, text.data(), text.size());
	(void)ignored;
}

[[noreturn]] void OnTerminate() {
	std::string what = "no exception";
	if (std::exception_ptr current = std::current_exception()) {
		try {
			std::rethrow_exception(current);
		} catch (const std::exception& e) {
			what = e.what();
		} catch (...) {
			what = "an exception of another type";
		}
	}
	Report("terminate " + what + (pa::Failed() ? " (failed allocation: " + Symbolized(pa::FailureStack(), 6) + ")" : ""));
	std::abort();
}

// The user's session, with the one failure armed. Plug-in calls go through the host on this
// thread; the waits in between let the receive thread finish what was sent, so that the
// allocations come in the same order in every run until the failure.
class Session {
public:
	Session(refhost::Host& host, Side side, long n) : mHost(host), mSide(side), mN(n) {}

	void Run() {
		StartTheAudioSystemsThreads(); // what is left at the end is then the plug-in's
		const int threadsBefore = ProcessThreads();
		const long liveBefore = pa::Live();
		const long cfBefore = apple_standin_cf_live();
		const std::string builtIn = DeviceUID(0), studio = DeviceUID(1);
		auto sender = std::make_unique<Sender>("Heap");
		pa::Reset();
		if (mN > 0)
			pa::FailNth(mSide, mN);

		Step("create");
		refhost::Actor* actor = mHost.CreateActor();
		mHost.SetInput(actor, kSource, HostValue::Text(sender->fullName()));
		mHost.SetInput(actor, kBandwidth, HostValue::Integer(1));
		mHost.SetInput(actor, kAudioOut, HostValue::Text(kBuiltIn));
		mHost.SetInput(actor, kVolume, HostValue::Real(80));
		Step("activate");
		mHost.Activate(actor, true);

		Step("connect");
		Wait("the receiver to connect", true, [&] {
			ndi_standin_receiver_info_t info;
			return Receiver(&info) && info.source_online;
		});

		Step("first frames");
		sender->Video(1);
		SendAudio(*sender, 0.0f);
		mHost.AdvanceTime(16);
		mHost.Tick();
		Expect(mHost.imageUpdateCount() == 1, "the first frame is shown");
		// The input opens its device on a thread of its own and drops audio until it is ready: the
		// frames before that ask for nothing new and allocate nothing.
		Step("play");
		Wait("sound on the built-in output", false,
		     [&] { return SendAudio(*sender, 0.0f) && Pump() == 3 && SoundOn(builtIn); });
		Expect(LiveQueueOn(builtIn) >= 0 && SoundOn(builtIn), "audio plays on the built-in output");

		Step("device");
		mHost.SetInput(actor, kAudioOut, HostValue::Text(kStudio));
		mHost.AdvanceTime(16);
		mHost.Tick();
		Wait("sound on the studio interface", false,
		     [&] { return SendAudio(*sender, 1.0f) && Pump() == 3 && SoundOn(studio); });
		Expect(LiveQueueOn(studio) >= 0 && apple_standin_queues_live() == 1 && SoundOn(studio),
		       "audio moves to the studio interface");

		Step("volume");
		mHost.SetInput(actor, kVolume, HostValue::Real(40));
		SendAudio(*sender, 2.0f);
		Expect(Pump() == 3, "audio plays at the new volume");

		Step("deactivate");
		mHost.Activate(actor, false);
		Step("dispose");
		mHost.DisposeActor(actor);
		sender.reset();

		// Once the plug-in's threads (and the queues') have ended nothing changes any more.
		Step("threads");
		Settle("no thread is left", [&] { return ProcessThreads() == threadsBefore; },
		       [&] { return std::to_string(ProcessThreads() - threadsBefore) + " threads besides the host's"; });
		Step("accounts");
		CheckAccounts(cfBefore);
		Step("unload");
		mHost.Unload();
		if (pa::Live() != liveBefore)
			Problem("the plug-in's heap holds " + std::to_string(pa::Live() - liveBefore) + " blocks after unloading");
		NoteFailure();
		Report("result " + std::to_string(pa::Failed() ? 1 : 0) + " " + std::to_string(pa::Count(pa::kHostThread)) +
		       " " + std::to_string(pa::Count(pa::kOtherThreads)) + " " + std::to_string(pa::Undecided()));
	}

private:
	void Step(const char* name) {
		NoteFailure();
		Report(std::string("step ") + name);
	}
	void Problem(const std::string& what) { Report("problem " + what); }
	// What must hold when nothing failed (the counting runs); with a failure the plug-in may do less.
	void Expect(bool holds, const char* what) {
		if (mN == 0 && !holds)
			Problem(std::string("without a failure: ") + what);
	}
	void NoteFailure() {
		if (pa::Failed() && !mFailureNoted) {
			mFailureNoted = true;
			Report("failed-at " + Symbolized(pa::FailureStack(), 6));
		}
	}

	bool Wait(const char* what, bool tick, const std::function<bool()>& done) {
		const auto start = std::chrono::steady_clock::now();
		while (!done()) {
			NoteFailure();
			// A failure on another thread may come while this waits: from then on the run only
			// has to end cleanly.
			const bool required = !pa::Failed();
			const auto deadline = start + std::chrono::milliseconds(required ? kRequiredWaitMs : kAfterFailureWaitMs);
			if (std::chrono::steady_clock::now() > deadline) {
				if (required)
					Problem(std::string("waited in vain for ") + what + " before any failure");
				return false;
			}
			if (tick) {
				mHost.AdvanceTime(16);
				mHost.Tick();
			}
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		}
		return true;
	}
	// One audio frame, taken by the receive thread before this returns (true then).
	bool SendAudio(Sender& sender, float base) {
		sender.Audio(48000, 2, 4800, base);
		return WaitDealt(1, ++mAudioSent);
	}
	// Until the receive thread has taken this many frames in all and come back for more.
	bool WaitDealt(int64_t video, int64_t audio) {
		return Wait("the receive thread to take what was sent", false, [&] {
			ndi_standin_receiver_info_t info;
			if (!Receiver(&info))
				return true; // no receiver (the failure left the actor without one): nothing to wait for
			return info.queued == 0 && info.capturing > 0 && info.video_lent_total >= video &&
			       info.audio_lent_total >= audio;
		});
	}
	// A condition every run must reach, whatever failed: given a generous while to settle.
	void Settle(const char* what, const std::function<bool()>& holds, const std::function<std::string()>& state) {
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequiredWaitMs);
		while (!holds()) {
			if (std::chrono::steady_clock::now() > deadline) {
				Problem(std::string(what) + ": " + state());
				return;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		}
	}
	void CheckAccounts(long cfBefore) {
		const std::string accounts = AccountsText(cfBefore);
		if (!accounts.empty())
			Problem("accounts not at zero: " + accounts);
		for (size_t offset : mHost.trapsCalled())
			Problem("the plug-in called undefined service slot " + std::to_string(offset));
		for (const auto& e : mHost.errors())
			Problem("host service misused: " + e);
	}
	std::string AccountsText(long cfBefore) const {
		std::ostringstream text;
		auto account = [&](const char* name, long long value, long long expected = 0) {
			if (value != expected)
				text << (text.tellp() > 0 ? ", " : "") << name << " " << value;
		};
		account("host allocations", (long long)mHost.outstandingAllocations());
		account("textures", (long long)mHost.liveTextures());
		account("message receivers", (long long)mHost.activeReceivers());
		account("finders", ndi_standin_live_finders());
		account("receivers", ndi_standin_live_receivers());
		account("lent frames", ndi_standin_frames_outstanding());
		account("initialise depth", ndi_standin_initialize_depth());
		account("stand-in faults", ndi_standin_fault_count(ndi_standin_fault_any));
		account("AudioQueues", apple_standin_queues_live());
		account("CoreFoundation objects", apple_standin_cf_live(), cfBefore);
		account("CoreFoundation misuse", apple_standin_misuse_count());
		return text.str();
	}

	static bool Receiver(ndi_standin_receiver_info_t* info) {
		NDIlib_recv_instance_t receiver = nullptr;
		return ndi_standin_receivers(&receiver, 1) >= 1 && ndi_standin_receiver_info(receiver, info);
	}
	// Plays three buffers on the live queue, if there is one: the two it started with, silent,
	// and the first one refilled from what was received.
	static int Pump() {
		for (int i = apple_standin_queues_created() - 1; i >= 0; --i)
			if (AudioQueueRef queue = apple_standin_queue(i))
				return apple_standin_pump(queue, 3);
		return 0;
	}

	refhost::Host& mHost;
	Side mSide;
	long mN;
	bool mFailureNoted = false;
	int64_t mAudioSent = 0;
};

// ---- The parent --------------------------------------------------------------------------------

struct Outcome {
	enum What { kPassed, kNotReached, kCrashed, kHung, kProblems } what = kCrashed;
	std::string step = "(none)";
	std::vector<std::string> problems;
	std::string failedAt, terminate, stderrExcerpt;
	int signal = 0, exitCode = -1;
	long hostCount = 0, threadCount = 0, undecided = 0;
	bool failed = false;
};

const char* SideName(Side side) {
	return side == pa::kHostThread ? "host thread" : "other threads";
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

	// The plug-in from a copy of the test's own, which the children's unloading leaves in place.
	void LoadPrivateCopy() {
		host.Unload();
		const std::filesystem::path source(VIDRANE_PLUGIN_PATH);
		const std::filesystem::path copy = mHome / "plugin" / source.filename();
		std::filesystem::create_directories(copy.parent_path());
		std::filesystem::copy(source, copy, std::filesystem::copy_options::recursive);
		std::string error;
		refhost::LoadOptions options;
		options.freshCopy = false;
		ASSERT_TRUE(host.Load(copy.string(), &error, options)) << error;
		host.SetManualTime(10000);
		ASSERT_TRUE(pa::Arm(PluginCode(host), &error)) << error;
	}

	// One run in a child process: n = 0 fails nothing.
	Outcome RunOnce(Side side, long n) {
		Outcome outcome;
		if (ProcessThreads() != 1) {
			outcome.problems.push_back("the parent has other threads: no safe fork");
			outcome.what = Outcome::kProblems;
			return outcome;
		}
		int fds[2];
		if (pipe2(fds, O_CLOEXEC) != 0) {
			outcome.problems.push_back("no pipe");
			return outcome;
		}
		const std::string errPath = (mHome / "run.stderr").string();
		const int errFd = open(errPath.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
		fflush(nullptr);
		const pid_t pid = fork();
		if (pid == 0) {
			close(fds[0]);
			dup2(errFd, 2);
			gReportFd = fds[1];
			std::set_terminate(OnTerminate);
			apple_standin_set_manual_pump(true);
			apple_standin_reset_queues();
			ndinet::Reset();
			Session(host, side, n).Run();
			Report("done");
			_exit(0);
		}
		close(fds[1]);
		close(errFd);
		if (pid < 0) {
			close(fds[0]);
			outcome.problems.push_back("no child process");
			outcome.what = Outcome::kProblems;
			return outcome;
		}

		std::string buffer;
		bool done = false, hung = false;
		for (;;) {
			pollfd p{fds[0], POLLIN, 0};
			const int ready = poll(&p, 1, kStepDeadlineMs);
			if (ready == 0) {
				hung = true;
				kill(pid, SIGKILL);
				break;
			}
			if (ready < 0 && errno == EINTR)
				continue;
			char chunk[4096];
			const ssize_t got = ready > 0 ? read(fds[0], chunk, sizeof(chunk)) : -1;
			if (got <= 0)
				break;
			buffer.append(chunk, size_t(got));
			size_t end;
			while ((end = buffer.find('\n')) != std::string::npos) {
				const std::string line = buffer.substr(0, end);
				buffer.erase(0, end + 1);
				Parse(line, &outcome, &done);
			}
		}
		close(fds[0]);
		int status = 0;
		waitpid(pid, &status, 0);
		if (WIFSIGNALED(status))
			outcome.signal = WTERMSIG(status);
		if (WIFEXITED(status))
			outcome.exitCode = WEXITSTATUS(status);
		outcome.stderrExcerpt = Excerpt(errPath);

		if (hung)
			outcome.what = Outcome::kHung;
		else if (!done || outcome.exitCode != 0)
			outcome.what = Outcome::kCrashed;
		else if (!outcome.problems.empty() || outcome.undecided != 0)
			outcome.what = Outcome::kProblems;
		else if (n > 0 && !outcome.failed)
			outcome.what = Outcome::kNotReached;
		else
			outcome.what = Outcome::kPassed;
		if (outcome.undecided != 0)
			outcome.problems.push_back(std::to_string(outcome.undecided) + " allocations whose owner the stack did not tell");
		return outcome;
	}

	static void Parse(const std::string& line, Outcome* outcome, bool* done) {
		const size_t space = line.find(' ');
		const std::string verb = line.substr(0, space);
		const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
		if (verb == "step")
			outcome->step = rest;
		else if (verb == "problem")
			outcome->problems.push_back(outcome->step + ": " + rest);
		else if (verb == "failed-at")
			outcome->failedAt = rest;
		else if (verb == "terminate")
			outcome->terminate = rest;
		else if (verb == "result") {
			int failed = 0;
			std::istringstream(rest) >> failed >> outcome->hostCount >> outcome->threadCount >> outcome->undecided;
			outcome->failed = failed != 0;
		} else if (verb == "done")
			*done = true;
	}

	// The first lines of what the child wrote to standard error that say what went wrong.
	static std::string Excerpt(const std::string& path) {
		FILE* f = fopen(path.c_str(), "r");
		if (!f)
			return "";
		std::string text;
		char line[512];
		int kept = 0;
		while (kept < 3 && fgets(line, sizeof(line), f)) {
			std::string l(line);
			while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
				l.pop_back();
			if (l.empty() || l.find_first_not_of("= ") == std::string::npos)
				continue;
			text += (text.empty() ? "" : " | ") + l;
			++kept;
		}
		fclose(f);
		return text;
	}

	static std::string Describe(Side side, long n, const Outcome& o) {
		std::ostringstream text;
		text << SideName(side) << " n=" << n << ": ";
		switch (o.what) {
		case Outcome::kCrashed:
			text << "crashed in step '" << o.step << "'";
			if (o.signal)
				text << " (signal " << o.signal << ")";
			else
				text << " (exit " << o.exitCode << ")";
			if (!o.terminate.empty())
				text << ", std::terminate: " << o.terminate;
			else if (!o.stderrExcerpt.empty())
				text << ": " << o.stderrExcerpt;
			break;
		case Outcome::kHung:
			text << "hung in step '" << o.step << "'";
			break;
		case Outcome::kNotReached:
			text << "never reached (" << (side == pa::kHostThread ? o.hostCount : o.threadCount)
			     << " allocations made)";
			break;
		case Outcome::kProblems:
			for (size_t i = 0; i < o.problems.size(); ++i)
				text << (i ? "; " : "") << o.problems[i];
			break;
		case Outcome::kPassed:
			text << "passed";
			break;
		}
		if (!o.failedAt.empty() && o.terminate.find(o.failedAt) == std::string::npos)
			text << " [failed allocation: " << o.failedAt << "]";
		return text.str();
	}
};

} // namespace

// ---- A host call ------------------------------------------------------------------------------

TEST_F(OutOfMemoryTest, APluginAllocationFailingInAHostCallStaysThePluginsOwn) {
	std::string error;
	ASSERT_TRUE(pa::Arm(PluginCode(host), &error)) << error;
	refhost::Actor* actor = host.CreateActor();
	refhost::Host::Popup popup;
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

// ---- The sweep ---------------------------------------------------------------------------------

TEST_F(OutOfMemoryTest, EveryPluginAllocationFailingOnceLeavesNothingBehind) {
	LoadPrivateCopy();
	if (HasFatalFailure())
		return;
	const auto start = std::chrono::steady_clock::now();

	// Counted twice: the sweep means something only when the allocations repeat run after run.
	Outcome counts[2] = {RunOnce(pa::kHostThread, 0), RunOnce(pa::kHostThread, 0)};
	for (const Outcome& c : counts)
		ASSERT_EQ(c.what, Outcome::kPassed) << Describe(pa::kHostThread, 0, c);
	ASSERT_EQ(counts[0].hostCount, counts[1].hostCount) << "host-thread allocations differ between runs";
	ASSERT_EQ(counts[0].threadCount, counts[1].threadCount) << "receive-thread allocations differ between runs";
	const long total[2] = {counts[0].hostCount, counts[0].threadCount};
	ASSERT_GT(total[pa::kHostThread], 0);
	ASSERT_GT(total[pa::kOtherThreads], 0);
	printf("plug-in allocations: %ld on the host's thread, %ld on its other threads\n", total[0], total[1]);

	std::vector<std::string> faults;
	int runs = 0, hung = 0;
	for (Side side : {pa::kHostThread, pa::kOtherThreads}) {
		for (long n = 1; n <= total[side]; ++n) {
			if (hung >= kMaxHungRuns) {
				faults.push_back(std::string(SideName(side)) + " n=" + std::to_string(n) + " and later: not run after " +
				                 std::to_string(hung) + " hung runs");
				break;
			}
			Outcome o = RunOnce(side, n);
			++runs;
			if (o.what == Outcome::kNotReached) { // once more, in case that run went another way
				o = RunOnce(side, n);
				++runs;
			}
			if (o.what == Outcome::kHung)
				++hung;
			const std::string line = Describe(side, n, o);
			printf("%s\n", line.c_str());
			fflush(stdout);
			if (o.what != Outcome::kPassed)
				faults.push_back(line);
		}
		// One past the last: the sweep must know a failure that never came from one that did no harm.
		if (hung < kMaxHungRuns) {
			const Outcome past = RunOnce(side, total[side] + 1);
			++runs;
			if (past.what != Outcome::kNotReached)
				faults.push_back("the run failing allocation " + std::to_string(total[side] + 1) + " of " +
				                 std::to_string(total[side]) + " was not recognised as never reached: " +
				                 Describe(side, total[side] + 1, past));
		}
	}
	const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	printf("%d runs in %.1f s\n", runs, seconds);
	std::string all;
	for (const std::string& f : faults)
		all += "\n  " + f;
	EXPECT_TRUE(faults.empty()) << faults.size() << " of " << runs << " runs went wrong:" << all;
}
