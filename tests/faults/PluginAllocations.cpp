#include "PluginAllocations.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <execinfo.h>
#include <link.h>

// Every function the allocator runs through lies in one section of its own, so that a stack walk
// can step over the allocator's own frames however the compiler arranged them.
#define ALLOC_HOOK __attribute__((noinline, section("plugin_alloc_hook")))
extern "C" char __start_plugin_alloc_hook[] __attribute__((weak));
extern "C" char __stop_plugin_alloc_hook[] __attribute__((weak));

namespace {

enum Kind : unsigned char { kOther, kPlugin, kRuntime, kHook };

struct Range {
	uintptr_t lo, hi;
	Kind kind;
};

constexpr int kMaxRanges = 512;
constexpr int kFrames = 64;
constexpr uint32_t kMagic = 0x0A110CA7u;

// Written by Arm before gArmed is set, read-only while armed.
Range gRanges[kMaxRanges];
int gRangeCount = 0;
std::atomic<bool> gArmed{false};

std::atomic<long> gCount[2];
std::atomic<long> gFailAt[2];
std::atomic<bool> gFailed{false};
std::atomic<long> gLive{0};
std::atomic<long> gUndecided{0};

// The host's thread only.
thread_local bool tHostThread = false;
thread_local bool tInside = false; // a walk under way on this thread: its own allocations pass
// The stack of the allocation that was failed.
void* gFailFrames[kFrames];
int gFailFrameCount = 0;

// In front of every block: where the block really starts and whether it is the plug-in's.
struct alignas(16) Header {
	uint32_t magic;
	uint32_t offset;
	uint32_t plugin;
	uint32_t spare;
};
static_assert(sizeof(Header) == 16, "the header keeps the default alignment");

ALLOC_HOOK Kind KindOf(const void* returnAddress) {
	// A return address may sit just past its function's last byte: look at the call itself.
	const uintptr_t pc = uintptr_t(returnAddress) - 1;
	if (pc >= uintptr_t(__start_plugin_alloc_hook) && pc < uintptr_t(__stop_plugin_alloc_hook))
		return kHook;
	for (int i = 0; i < gRangeCount; ++i)
		if (pc >= gRanges[i].lo && pc < gRanges[i].hi)
			return gRanges[i].kind;
	return kOther;
}

// Whether the allocation that operator new was called for from `caller` is the plug-in's. The
// caller alone decides unless it is runtime code: then the innermost frame outside the runtimes.
ALLOC_HOOK bool Decide(const void* caller) {
	const Kind callerKind = KindOf(caller);
	if (callerKind == kPlugin || callerKind == kOther)
		return callerKind == kPlugin;

	void* frames[kFrames];
	const int count = backtrace(frames, kFrames);
	for (int i = 0; i < count; ++i) {
		const Kind kind = KindOf(frames[i]);
		if (kind != kHook && kind != kRuntime) // the walk's own machinery, or the runtimes
			return kind == kPlugin;
	}
	gUndecided.fetch_add(1);
	return false;
}

ALLOC_HOOK void* Allocate(std::size_t size, std::size_t align, bool nothrow, const void* caller) {
	bool plugin = false;
	if (gArmed.load(std::memory_order_acquire) && !tInside) {
		tInside = true;
		plugin = Decide(caller);
		tInside = false;
		if (plugin) {
			const int side = tHostThread ? plugin_allocations::kHostThread : plugin_allocations::kOtherThreads;
			const long index = gCount[side].fetch_add(1) + 1;
			if (index == gFailAt[side].load()) {
				tInside = true;
				gFailFrameCount = backtrace(gFailFrames, kFrames);
				tInside = false;
				gFailed.store(true);
				if (nothrow)
					return nullptr;
				throw std::bad_alloc();
			}
		}
	}

	const std::size_t lead = align <= sizeof(Header) ? sizeof(Header) : align;
	void* base = nullptr;
	if (size <= SIZE_MAX - 2 * lead) {
		if (align <= sizeof(Header))
			base = std::malloc(size + lead);
		else
			base = std::aligned_alloc(align, (size + 2 * lead - 1) / lead * lead);
	}
	if (!base) {
		if (nothrow)
			return nullptr;
		throw std::bad_alloc();
	}
	char* user = static_cast<char*>(base) + lead;
	Header* header = reinterpret_cast<Header*>(user - sizeof(Header));
	header->magic = kMagic;
	header->offset = uint32_t(lead);
	header->plugin = plugin ? 1 : 0;
	if (plugin)
		gLive.fetch_add(1);
	return user;
}

ALLOC_HOOK void Deallocate(void* p) {
	if (!p)
		return;
	Header* header = reinterpret_cast<Header*>(static_cast<char*>(p) - sizeof(Header));
	if (header->magic != kMagic) {
		std::fprintf(stderr, "operator delete: %p did not come from operator new\n", p);
		std::abort();
	}
	header->magic = 0;
	if (header->plugin)
		gLive.fetch_sub(1);
	std::free(static_cast<char*>(p) - header->offset);
}

bool IsRuntime(const char* path) {
	const char* slash = std::strrchr(path, '/');
	const char* name = slash ? slash + 1 : path;
	static const char* const kRuntimes[] = {"libstdc++.so", "libgcc_s.so", "libc.so", "libm.so", "ld-linux",
	                                        "libpthread.so", "libdl.so", "linux-vdso.so", "libasan.so",
	                                        "libubsan.so", "liblsan.so", "libtsan.so"};
	for (const char* runtime : kRuntimes)
		if (std::strncmp(name, runtime, std::strlen(runtime)) == 0)
			return true;
	return false;
}

struct Scan {
	uintptr_t pluginCode;
	bool foundPlugin;
	bool overflow;
};

int AddObject(dl_phdr_info* info, size_t, void* data) {
	Scan* scan = static_cast<Scan*>(data);
	const char* path = info->dlpi_name ? info->dlpi_name : "";
	bool holdsPlugin = false;
	for (int i = 0; i < info->dlpi_phnum; ++i) {
		const ElfW(Phdr)& ph = info->dlpi_phdr[i];
		const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
		if (ph.p_type == PT_LOAD && scan->pluginCode >= lo && scan->pluginCode < lo + ph.p_memsz)
			holdsPlugin = true;
	}
	const Kind kind = holdsPlugin ? kPlugin : IsRuntime(path) ? kRuntime : kOther;
	scan->foundPlugin = scan->foundPlugin || holdsPlugin;
	for (int i = 0; i < info->dlpi_phnum; ++i) {
		const ElfW(Phdr)& ph = info->dlpi_phdr[i];
		if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X))
			continue;
		if (gRangeCount == kMaxRanges) {
			scan->overflow = true;
			return 1;
		}
		const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
		gRanges[gRangeCount++] = Range{lo, lo + ph.p_memsz, kind};
	}
	return 0;
}

} // namespace

namespace plugin_allocations {

bool Arm(const void* pluginCode, std::string* error) {
	Disarm();
	// The unwinder loads what it needs on its first walk: done here, before any walk that counts.
	void* frames[4];
	backtrace(frames, 4);
	if (!__start_plugin_alloc_hook || !__stop_plugin_alloc_hook) {
		*error = "the allocator's own section is missing";
		return false;
	}
	gRangeCount = 0;
	Scan scan{uintptr_t(pluginCode), false, false};
	dl_iterate_phdr(AddObject, &scan);
	if (scan.overflow) {
		*error = "more code mappings than the table holds";
		return false;
	}
	if (!scan.foundPlugin) {
		*error = "no loaded object holds the plug-in's code";
		return false;
	}
	tHostThread = true;
	Reset();
	gArmed.store(true, std::memory_order_release);
	return true;
}

void Disarm() {
	gArmed.store(false);
	gFailAt[0].store(0);
	gFailAt[1].store(0);
}

void Reset() {
	gFailAt[0].store(0);
	gFailAt[1].store(0);
	gCount[0].store(0);
	gCount[1].store(0);
	gFailed.store(false);
	gUndecided.store(0);
}

long Count(Side side) {
	return gCount[side].load();
}

void FailNth(Side side, long n) {
	gFailAt[side].store(n);
}

bool Failed() {
	return gFailed.load();
}

std::vector<const void*> FailureStack() {
	if (!gFailed.load())
		return {};
	int first = 0;
	for (int i = 0; i < gFailFrameCount; ++i)
		if (KindOf(gFailFrames[i]) == kHook)
			first = i + 1;
	return std::vector<const void*>(gFailFrames + first, gFailFrames + gFailFrameCount);
}

long Live() {
	return gLive.load();
}

long Undecided() {
	return gUndecided.load();
}


} // namespace plugin_allocations

// ---- The replacements -----------------------------------------------------------------------

namespace {
constexpr std::size_t kDefault = 0;
}

ALLOC_HOOK void* operator new(std::size_t size) {
	return Allocate(size, kDefault, false, __builtin_return_address(0));
}
ALLOC_HOOK void* operator new[](std::size_t size) {
	return Allocate(size, kDefault, false, __builtin_return_address(0));
}
ALLOC_HOOK void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
	return Allocate(size, kDefault, true, __builtin_return_address(0));
}
ALLOC_HOOK void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
	return Allocate(size, kDefault, true, __builtin_return_address(0));
}
ALLOC_HOOK void* operator new(std::size_t size, std::align_val_t align) {
	return Allocate(size, std::size_t(align), false, __builtin_return_address(0));
}
ALLOC_HOOK void* operator new[](std::size_t size, std::align_val_t align) {
	return Allocate(size, std::size_t(align), false, __builtin_return_address(0));
}
ALLOC_HOOK void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
	return Allocate(size, std::size_t(align), true, __builtin_return_address(0));
}
ALLOC_HOOK void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
	return Allocate(size, std::size_t(align), true, __builtin_return_address(0));
}

ALLOC_HOOK void operator delete(void* p) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete[](void* p) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete(void* p, std::size_t) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete[](void* p, std::size_t) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete(void* p, const std::nothrow_t&) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete[](void* p, const std::nothrow_t&) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete(void* p, std::align_val_t) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete[](void* p, std::align_val_t) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
	Deallocate(p);
}
ALLOC_HOOK void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
	Deallocate(p);
}
