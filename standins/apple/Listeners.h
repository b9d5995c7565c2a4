// Property listeners of queues and audio objects, and the stand-in's own thread that calls them.
#ifndef APPLE_STANDIN_LISTENERS_H
#define APPLE_STANDIN_LISTENERS_H

#include <AudioToolbox/AudioToolbox.h>

namespace apple_standin {

// Registrations. Removal answers false when no such registration exists; it never waits for a
// call under way.
void AddQueueListener(AudioQueueRef queue, AudioQueuePropertyID property, AudioQueuePropertyListenerProc proc, void* data);
bool RemoveQueueListener(AudioQueueRef queue, AudioQueuePropertyID property, AudioQueuePropertyListenerProc proc, void* data);
// A disposed queue's registrations go with it; returns how many there were. Without locks of the
// stand-in held, the disposal then waits for a call of one of them in progress.
int DropQueueListeners(AudioQueueRef queue);
void WaitForQueueListenerCalls(AudioQueueRef queue);
void AddObjectListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
	AudioObjectPropertyListenerProc proc, void* data);
bool RemoveObjectListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
	AudioObjectPropertyListenerProc proc, void* data);
// Block listeners: the stand-in keeps a copy of the block and a reference to the queue while
// registered; the calls are submitted to that queue.
void AddObjectListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address, dispatch_queue_t queue,
	AudioObjectPropertyListenerBlock block);
bool RemoveObjectListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address, dispatch_queue_t queue,
	AudioObjectPropertyListenerBlock block);
// An object that no longer exists loses its registrations (every device object: `object` 0).
void DropObjectListeners(AudioObjectID object);

// A change, delivered later on the listener thread to the listeners registered now. May be
// called with other locks of the stand-in held: it takes only its own.
void PostQueueChange(AudioQueueRef queue, AudioQueuePropertyID property);
void PostObjectChange(AudioObjectID object, AudioObjectPropertySelector selector);

} // namespace apple_standin

#endif
