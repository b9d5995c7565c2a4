#include "AllocationHooks.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool tCounting = false;
thread_local int tCount = 0;
thread_local int tPassTimes = 0;
thread_local int tFailTimes = 0;
thread_local int tFailed = 0;

// Null when this allocation is to fail.
void* Allocate(std::size_t size) {
	if (tCounting)
		++tCount;
	if (tPassTimes > 0)
		--tPassTimes;
	else if (tFailTimes > 0) {
		--tFailTimes;
		++tFailed;
		return nullptr;
	}
	return std::malloc(size ? size : 1);
}

void* AllocateOrThrow(std::size_t size) {
	void* p = Allocate(size);
	if (!p)
		throw std::bad_alloc();
	return p;
}

} // namespace

namespace allocation_hooks {

CountingScope::CountingScope() {
	tCount = 0;
	tCounting = true;
}
CountingScope::~CountingScope() {
	tCounting = false;
}
int CountingScope::count() const {
	return tCount;
}

FailingScope::FailingScope(int times, int after) {
	tFailed = 0;
	tPassTimes = after;
	tFailTimes = times;
}
FailingScope::~FailingScope() {
	tPassTimes = 0;
	tFailTimes = 0;
}
int FailingScope::failed() const {
	return tFailed;
}

} // namespace allocation_hooks

void* operator new(std::size_t size) {
	return AllocateOrThrow(size);
}
void* operator new[](std::size_t size) {
	return AllocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
	return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
	return Allocate(size);
}
void operator delete(void* p) noexcept {
	std::free(p);
}
void operator delete[](void* p) noexcept {
	std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
	std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
	std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
	std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
	std::free(p);
}
