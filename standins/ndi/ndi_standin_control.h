// Control of the NDI runtime stand-in, for tests and tools only (never for the plug-in):
// what the library reports about itself, how often and with what each of its functions was
// called, what it has lent, scripted sources and capture results, faults it detected, and a
// test-pattern source. Safe to call from any thread.
//
// How the stand-in behaves where the plug-in can see it:
// - Every source lives in this process. NDIlib_send_create announces "MACHINE (name)"; scripted
//   sources stand for other machines on the network (not local, so a finder with
//   show_local_sources false still lists them). Sources are listed in the order they appeared.
//   Each sender gets a URL of its own ("127.0.0.1:" and a port never given before), so one made
//   again under the same name is announced with a new URL.
// - NDIlib_find_wait_for_sources returns true as soon as the finder's list differs from the one it
//   last reported (through wait or get_current_sources); a new finder has reported nothing yet.
//   It and NDIlib_recv_capture_v2 wait for real: without a change or a frame they return at their
//   time-out on the steady clock, never before it, and as soon after as the machine allows (the
//   real runtime returns within about 2 ms).
//   NDIlib_find_get_current_sources returns an array even when no source is listed (a count of 0
//   and an address that holds no entry), as the real runtime does; another runtime may answer an
//   empty list with null, which ndi_standin_set_null_for_empty_list makes this one do. The array
//   stays valid until the next NDIlib_find_get_current_sources on that finder or its destruction
//   (the old array is freed, so a caller that keeps it longer reads freed memory).
// - A receiver is bound to one source instance, as with the real runtime: when it connects (create
//   with a source, or NDIlib_recv_connect) to the online source of that name (the one with the
//   same URL when there are several) or, if none is online then, to the first of that name to come
//   online. It stays with that instance. Taken off the network and back on
//   (ndi_standin_set_source_online) it is the same instance, and frames resume. Once the instance
//   is gone (NDIlib_send_destroy, a test pattern stopped, a scripted source removed) nothing
//   reaches the receiver, not even from a new source of the same name, until NDIlib_recv_connect
//   is called on it again. Its queue holds at most ndi_standin_set_queue_limit frames of each
//   kind (video, audio, each scripted result); a new frame beyond that drops the oldest of its kind,
//   so the newest video and audio always get through. Capture hands out the oldest queued frame whose record
//   the caller gave (frames of a kind the caller passed no record for are dropped).
// - Video comes as the colour format asks: BGRX_BGRA gives BGRX, or BGRA for a frame sent with
//   alpha; RGBX_RGBA gives RGBX/RGBA; UYVY_BGRA and UYVY_RGBA give UYVY, or BGRA/RGBA with alpha;
//   fastest, best and unknown values give UYVY, or UYVA with alpha. BGRX and RGBX carry 0xFF in
//   every pixel's fourth byte, whatever the sender left there. At bandwidth lowest a picture wider
//   than 640 pixels is scaled to 640 wide keeping its aspect (the height rounded to the nearest
//   whole, at least 1; each pixel the mean of those it covers) and a narrower one comes as sent
//   (so 1920 x 1080 arrives as 640 x 360, 320 x 180 as 320 x 180); audio_only gives no video;
//   metadata_only neither video nor audio. Audio comes planar 32-bit float. A line is as long as
//   its pixels and a channel as its samples (stride = samples * 4) unless ndi_standin_set_padding
//   makes both longer, as a real runtime may.
// - A sender that goes away (destroyed, taken off the network, a test pattern stopped) produces no
//   result on its receivers: no error or status-change frame, its frames simply stop. Frames it
//   sent before are still captured.
// - Lent frames are tracked per receiver. A free on the wrong receiver, a second free, a pointer
//   never lent, destroying a receiver with frames lent, the last NDIlib_destroy with receivers,
//   finders or lent frames still alive, a call on a handle that is not alive, and a malformed frame
//   given to a sender are faults: printed to stderr, counted, and fatal (abort) unless a test made
//   them non-fatal. A faulty free changes nothing.
#ifndef NDI_STANDIN_CONTROL_H
#define NDI_STANDIN_CONTROL_H

#include "ndi_standin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- The library ---------------------------------------------------------------------------

// The text NDIlib_version returns from now on; null restores the flavour's default, whose last
// word is a version of the major the plug-in of this flavour requires.
NDI_STANDIN_EXPORT void ndi_standin_set_version(const char* text);

// The machine part of announced names ("MACHINE (name)"): the host name in capitals unless set
// here; null restores it. Sources already announced keep their names. The pointer returned stays
// valid until the next ndi_standin_set_machine_name.
NDI_STANDIN_EXPORT void ndi_standin_set_machine_name(const char* name);
NDI_STANDIN_EXPORT const char* ndi_standin_machine_name(void);

// NDIlib_initialize calls not yet matched by NDIlib_destroy.
NDI_STANDIN_EXPORT int ndi_standin_initialize_depth(void);

// ---- Calls and their arguments -------------------------------------------------------------

// Calls of an exported NDIlib_ function, by its name, since load or the last reset.
NDI_STANDIN_EXPORT int ndi_standin_call_count(const char* function_name);
// Clears the call counts and every call record below.
NDI_STANDIN_EXPORT void ndi_standin_reset_call_counts(void);

#define NDI_STANDIN_TEXT_MAX 256

// Texts are copied, cut at NDI_STANDIN_TEXT_MAX - 1 bytes; a null pointer is recorded as such.
typedef struct ndi_standin_text_t {
	bool is_null;
	char text[NDI_STANDIN_TEXT_MAX];
} ndi_standin_text_t;

typedef struct ndi_standin_find_create_call_t {
	bool settings_null;
	bool show_local_sources;
	ndi_standin_text_t groups, extra_ips;
	NDIlib_find_instance_t result;
} ndi_standin_find_create_call_t;

typedef struct ndi_standin_recv_create_call_t {
	bool settings_null;
	ndi_standin_text_t source_name, source_url, recv_name;
	NDIlib_recv_color_format_e color_format;
	NDIlib_recv_bandwidth_e bandwidth;
	bool allow_video_fields;
	NDIlib_recv_instance_t result;
} ndi_standin_recv_create_call_t;

typedef struct ndi_standin_recv_connect_call_t {
	NDIlib_recv_instance_t receiver;
	bool source_null;
	ndi_standin_text_t source_name, source_url;
} ndi_standin_recv_connect_call_t;

// The index-th call (0 = first) since the last reset; false when there is no such call.
NDI_STANDIN_EXPORT bool ndi_standin_find_create_call(int index, ndi_standin_find_create_call_t* out);
NDI_STANDIN_EXPORT bool ndi_standin_recv_create_call(int index, ndi_standin_recv_create_call_t* out);
NDI_STANDIN_EXPORT bool ndi_standin_recv_connect_call(int index, ndi_standin_recv_connect_call_t* out);

// Time-outs of the frequent calls: the last one given and the largest since the last reset
// (-1 before any call).
typedef struct ndi_standin_timeouts_t {
	int64_t wait_for_sources_last, wait_for_sources_max;
	int64_t capture_last, capture_max;
	// Records the last capture was given (true = non-null).
	bool capture_video_record, capture_audio_record, capture_metadata_record;
} ndi_standin_timeouts_t;
NDI_STANDIN_EXPORT void ndi_standin_timeouts(ndi_standin_timeouts_t* out);

// ---- Live objects and lent frames ----------------------------------------------------------

NDI_STANDIN_EXPORT int ndi_standin_live_finders(void);
NDI_STANDIN_EXPORT int ndi_standin_live_receivers(void);
NDI_STANDIN_EXPORT int ndi_standin_live_senders(void);

// Up to `max` live receivers, oldest first; returns how many are alive.
NDI_STANDIN_EXPORT int ndi_standin_receivers(NDIlib_recv_instance_t* out, int max);

typedef struct ndi_standin_receiver_info_t {
	ndi_standin_text_t connected_to;   // the name asked for by create or connect (null: none)
	bool source_online;                // the source instance it is bound to is announced and reachable
	NDIlib_recv_color_format_e color_format;
	NDIlib_recv_bandwidth_e bandwidth;
	int queued;                        // frames waiting to be captured
	int64_t dropped;                   // frames dropped by the queue bound or for want of a record
	int video_lent, audio_lent;        // outstanding now
	int64_t video_lent_total, audio_lent_total, video_freed_total, audio_freed_total;
	int64_t captures;
	// Threads waiting inside NDIlib_recv_capture_v2 on it now: once a frame has been lent, a
	// waiting thread is one that has dealt with that frame and come back for the next.
	int capturing;
} ndi_standin_receiver_info_t;
// False when the receiver is not alive.
NDI_STANDIN_EXPORT bool ndi_standin_receiver_info(NDIlib_recv_instance_t receiver, ndi_standin_receiver_info_t* out);

// Frames lent and not yet freed, over every live receiver.
NDI_STANDIN_EXPORT int ndi_standin_frames_outstanding(void);
// Whether `p_data` is the pixel pointer of a video frame some receiver has lent and not yet had
// back: what a zero-copy consumer hands on must be exactly that.
NDI_STANDIN_EXPORT bool ndi_standin_is_lent_video(const void* p_data);
// Frames lent and freed since load, over every receiver that ever lived.
NDI_STANDIN_EXPORT int64_t ndi_standin_frames_lent_total(void);
NDI_STANDIN_EXPORT int64_t ndi_standin_frames_freed_total(void);

// Frames of each kind a receiver may queue (at least 1; default 16). Applies to receivers created later.
NDI_STANDIN_EXPORT void ndi_standin_set_queue_limit(int frames);

// Padded strides, as a real runtime may hand out: video frames made from now on (sent or injected)
// have `line_padding_bytes` more in each line than its pixels take (UYVA: in each line of its
// UYVY plane; the alpha plane stays xres bytes a row), filled with 0xA5 bytes, and
// audio frames `channel_padding_bytes` more after each channel's samples, each padding sample the
// float 1.0e9; line_stride_in_bytes and channel_stride_in_bytes say so. 0, 0 (the default) is
// tight. False, changing nothing, for a negative value, a line padding above 4096, a channel
// padding above 65536 or one that is not a whole number of samples (a multiple of 4).
NDI_STANDIN_EXPORT bool ndi_standin_set_padding(int line_padding_bytes, int channel_padding_bytes);

// ---- Faults ----------------------------------------------------------------------------------

typedef enum ndi_standin_fault_e {
	ndi_standin_fault_any = -1,
	ndi_standin_fault_double_free = 0,      // a frame freed a second time
	ndi_standin_fault_foreign_free,         // freed on another receiver than the one that lent it
	ndi_standin_fault_unknown_free,         // a pointer no receiver lent
	ndi_standin_fault_destroy_with_lent,    // NDIlib_recv_destroy with frames still lent
	ndi_standin_fault_destroy_library,      // the last NDIlib_destroy with objects or frames alive
	ndi_standin_fault_bad_handle,           // a call on a finder, receiver or sender not alive
	ndi_standin_fault_bad_frame,            // a sender given a malformed frame
	ndi_standin_fault_busy_destroy,         // destroyed while another thread waits in it
	ndi_standin_fault_count_
} ndi_standin_fault_e;

// Fatal by default: the fault is printed and the process aborts.
NDI_STANDIN_EXPORT void ndi_standin_set_faults_fatal(bool fatal);
NDI_STANDIN_EXPORT int ndi_standin_fault_count(ndi_standin_fault_e kind);
// The last fault's message ("" when none); valid until the next fault or reset.
NDI_STANDIN_EXPORT const char* ndi_standin_last_fault(void);
NDI_STANDIN_EXPORT void ndi_standin_reset_faults(void);

// ---- Threads that call in --------------------------------------------------------------------
//
// Every thread that calls into the library is noted on its first call. The very end of each such
// thread can be made to last longer: on Linux the destructor of a thread_local object of the
// library's, among the last things the thread runs after its own function has returned; under
// Windows the library's DLL_THREAD_DETACH. Code that unloads after its threads have "finished"
// must have waited for that end too (by joining them): a thread that only counts itself out and
// goes on is found still alive.

// How long the end of each such thread lasts, from now on (0, the default: no delay).
NDI_STANDIN_EXPORT void ndi_standin_set_thread_exit_delay(int milliseconds);
// Windows only (where the library hears of every thread's end): how long the end of every other
// thread of the process lasts, from now on (0, the default: no delay). Under the loader's lock, as
// any DLL_THREAD_DETACH: what waits for the loader meanwhile waits too.
NDI_STANDIN_EXPORT void ndi_standin_set_other_thread_exit_delay(int milliseconds);
// Forgets the threads recorded so far. With `record` true, records from now on every thread that
// calls in, once each, except the calling thread and the test-pattern sources' own threads.
NDI_STANDIN_EXPORT void ndi_standin_record_threads(bool record);
// How many threads are recorded.
NDI_STANDIN_EXPORT int ndi_standin_recorded_threads(void);
// How many recorded threads have not ended; `which`, if given, gets a line naming the first of
// them ("" when all have ended), cut to `size` - 1 bytes. Linux: a thread has ended once its end
// above is over and /proc/self/task no longer lists it (for that last part the call waits up to
// 2 s, as the kernel may drop a task a moment after a join returns); the thread's id in the text
// is its kernel id (gettid). Windows: once its handle is signalled; the id is GetCurrentThreadId's.
NDI_STANDIN_EXPORT int ndi_standin_threads_not_ended(char* which, int size);

// ---- Fault injection -----------------------------------------------------------------------

// The next `times` calls return false / null (they still count as calls).
NDI_STANDIN_EXPORT void ndi_standin_fail_initialize(int times);
NDI_STANDIN_EXPORT void ndi_standin_fail_find_create(int times);
NDI_STANDIN_EXPORT void ndi_standin_fail_recv_create(int times);
// The next `times` captures (-1: every one, 0: none from now on) return an error at once, without
// waiting for their time-out, as a runtime may once its connection is lost.
NDI_STANDIN_EXPORT void ndi_standin_fail_capture(int times);

// Queues a capture result of `type` (error, status_change, source_change or metadata) behind the
// frames already queued on every receiver connected to `source_name` (null: every receiver).
// A metadata result fills the caller's metadata record, if given, with a text the stand-in owns.
// Returns the number of receivers reached.
NDI_STANDIN_EXPORT int ndi_standin_inject_result(const char* source_name, NDIlib_frame_type_e type);

// Queues a video frame of xres x yres in `fourcc`, whatever the receiver asked for, the same way.
// It is lent and tracked like any frame. Supported: BGRA, BGRX, RGBA, RGBX, UYVY, UYVA.
NDI_STANDIN_EXPORT int ndi_standin_inject_video(const char* source_name, NDIlib_FourCC_video_type_e fourcc, int xres,
                                                int yres);

// ---- Scripted sources ------------------------------------------------------------------------

// With `null_array` true, NDIlib_find_get_current_sources answers an empty list with null (and a
// count of 0), as another runtime may; false (the default) gives an array, as the real one does.
NDI_STANDIN_EXPORT void ndi_standin_set_null_for_empty_list(bool null_array);

// A source of another machine appears under the full name given (for example "STUDIO (Cam 1)");
// a null url gets one made up. Each is a new instance, even under the name and URL of one removed
// before. Returns false for a null or empty name.
NDI_STANDIN_EXPORT bool ndi_standin_add_source(const char* full_name, const char* url);
// The first scripted source of that name disappears; false when there is none.
NDI_STANDIN_EXPORT bool ndi_standin_remove_source(const char* full_name);
// Takes every source of that name (scripted or sent) off the network or back on: offline sources
// are not listed and frames sent to them reach nobody; back on, they reach the receivers bound to
// them again. Returns the number of sources changed.
NDI_STANDIN_EXPORT int ndi_standin_set_source_online(const char* full_name, bool online);

// ---- Test-pattern source ---------------------------------------------------------------------
//
// A sender on its own thread, paced by the real clock, sending a moving picture that identifies
// each frame and a tone on each audio channel.
//
// Picture (BGRX, or BGRA with alpha): eight vertical colour bars (white, yellow, cyan, green,
// magenta, red, blue, black), a grey square moving right by xres/64 pixels a frame, and a code band
// over the top rows (at least 4 rows, an even number) that carries the frame number. The band is
// split into 40 cells of equal width: cell i covers pixels [i*xres/40, (i+1)*xres/40). Cells 0-3
// are white, black, white, black; cells 4-35 hold the frame number's 32 bits, most significant
// first, white for 1 and black for 0; cells 36-39 are black, white, black, white. Every cell is at
// least 4 pixels wide and the band at least 4 rows high, so the code survives conversion to UYVY
// and the scaling at the lowest bandwidth (to cells of 16 pixels) of any picture at most 20 times
// as wide as it is high. With alpha, the band and the square are opaque and the bars get alphas
// from 255 down by 24 per bar. Video frames are numbered from 0.
//
// Tone: channel c is a sine of ndi_standin_pattern_tone_hz(c) at amplitude 0.5, continuous across
// frames (sample n of the stream is 0.5 * sin(2 pi f n / sample_rate)).
//
// Clock: like a real sender, the source keeps time by a crystal of its own, which may run fast or
// slow against the machine's steady clock by clock_ppm parts per million: a source 500 ppm slow
// (-500) sends its 30 frames and 48000 samples a second every 1.0005 s of the steady clock. Video
// and audio both follow it.

typedef struct ndi_standin_pattern_t ndi_standin_pattern_t;

typedef struct ndi_standin_pattern_settings_t {
	const char* name;          // the source name; announced as "MACHINE (name)"
	int xres, yres;            // at least 160 x 16, at most 8192 x 8192
	int frame_rate_N, frame_rate_D;
	bool alpha;
	int sample_rate;           // Hz
	int no_channels;           // 0: no audio
	int samples_per_frame;     // per audio frame
	double clock_ppm;          // its clock against the steady clock, -10000 to 10000 (0: exact)
} ndi_standin_pattern_settings_t;

// 1280 x 720 at 30/1, no alpha, 48000 Hz, 2 channels, 1600 samples a frame, an exact clock.
NDI_STANDIN_EXPORT void ndi_standin_pattern_defaults(ndi_standin_pattern_settings_t* out);
// Announces the source and starts its thread; null for settings out of range.
NDI_STANDIN_EXPORT ndi_standin_pattern_t* ndi_standin_pattern_start(const ndi_standin_pattern_settings_t* settings);
// Sets the source's clock from now on (as clock_ppm); what was sent stays sent, with no gap and no
// burst at the change. False, changing nothing, for a value out of range.
NDI_STANDIN_EXPORT bool ndi_standin_pattern_set_clock_ppm(ndi_standin_pattern_t* pattern, double clock_ppm);
// Stops the thread and withdraws the source.
NDI_STANDIN_EXPORT void ndi_standin_pattern_stop(ndi_standin_pattern_t* pattern);
// The channel count of the audio frames sent from now on (1 to 64), as a sender whose stream
// changes from stereo to mono does; false for a pattern without audio.
NDI_STANDIN_EXPORT bool ndi_standin_pattern_set_channels(ndi_standin_pattern_t* pattern, int channels);
// The announced name, valid while the pattern runs.
NDI_STANDIN_EXPORT const char* ndi_standin_pattern_source_name(const ndi_standin_pattern_t* pattern);
NDI_STANDIN_EXPORT int64_t ndi_standin_pattern_video_frames_sent(const ndi_standin_pattern_t* pattern);
NDI_STANDIN_EXPORT int64_t ndi_standin_pattern_audio_frames_sent(const ndi_standin_pattern_t* pattern);

// The frame number a received frame carries (modulo 2^32), or -1 when its first row holds no
// code band or the record is unusable. Reads BGRA, BGRX, RGBA, RGBX, UYVY and UYVA at any size
// the band survives (as sent and at the lowest bandwidth).
NDI_STANDIN_EXPORT int64_t ndi_standin_pattern_frame_number(const NDIlib_video_frame_v2_t* frame);
// The tone frequency of a channel: 250 Hz * (channel + 1).
NDI_STANDIN_EXPORT double ndi_standin_pattern_tone_hz(int channel);

#ifdef __cplusplus
}
#endif

#endif
