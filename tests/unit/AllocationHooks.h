// Global operator new replaced for the whole test binary: it counts the allocations the calling
// thread makes while counting is on, and can be told to fail the next ones.
#ifndef ALLOCATION_HOOKS_H
#define ALLOCATION_HOOKS_H

namespace allocation_hooks {

// Counts this thread's allocations until the scope ends.
class CountingScope {
public:
	CountingScope();
	~CountingScope();
	int count() const;
};

// After letting `after` allocations of this thread through, its next `times` allocations fail
// (throwing ones throw, nothrow ones return null).
class FailingScope {
public:
	explicit FailingScope(int times, int after = 0);
	~FailingScope();
	int failed() const; // allocations refused so far
};

} // namespace allocation_hooks

#endif
