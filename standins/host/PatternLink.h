// The test-pattern source exists in the NDI stand-in only. The tools look it up at run time, so
// that they also run, without --test-source, on a real NDI runtime put in the stand-in's place.
#ifndef REFHOST_PATTERN_LINK_H
#define REFHOST_PATTERN_LINK_H

#include "ndi_standin_control.h"

namespace refhost {

struct PatternApi {
	void (*defaults)(ndi_standin_pattern_settings_t* out);
	ndi_standin_pattern_t* (*start)(const ndi_standin_pattern_settings_t* settings);
	void (*stop)(ndi_standin_pattern_t* pattern);
	const char* (*sourceName)(const ndi_standin_pattern_t* pattern);
	int64_t (*frameNumber)(const NDIlib_video_frame_v2_t* frame);
};

// Null when the NDI runtime in this process is not the stand-in.
const PatternApi* FindPatternApi();

} // namespace refhost

#endif
