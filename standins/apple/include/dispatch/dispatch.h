// Dispatch queues as the plug-in's macOS code uses them: serial queues of its own, blocks run on
// them one after the other, and the drain a synchronous block gives. The system's own names and
// types as C++ sees them (queues are dispatch objects); implemented on Linux by the Apple
// stand-in library, with blocks from the blocks runtime.
#ifndef APPLE_STANDIN_DISPATCH_H
#define APPLE_STANDIN_DISPATCH_H

#include <stddef.h>

#define DISPATCH_EXPORT extern "C" __attribute__((visibility("default")))

struct dispatch_object_s {};
typedef dispatch_object_s* dispatch_object_t;
struct dispatch_queue_s : public dispatch_object_s {};
typedef dispatch_queue_s* dispatch_queue_t;
struct dispatch_queue_attr_s : public dispatch_object_s {};
typedef dispatch_queue_attr_s* dispatch_queue_attr_t;

#define DISPATCH_QUEUE_SERIAL NULL

typedef void (^dispatch_block_t)(void);

// A serial queue: its blocks run one at a time, in the order they were submitted, on a thread of
// the system's. One reference, the caller's.
DISPATCH_EXPORT dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
DISPATCH_EXPORT void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
// Runs the block once every block submitted before it has run, and returns after it. Never from
// a block of the same queue: that would wait for itself.
DISPATCH_EXPORT void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block);
DISPATCH_EXPORT void dispatch_retain(dispatch_object_t object);
// The last release ends the queue once the blocks submitted to it have run.
DISPATCH_EXPORT void dispatch_release(dispatch_object_t object);

#endif
