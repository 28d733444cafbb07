// For the default build's confinement tests, loaded with LD_PRELOAD: the
// first FFmpeg decode call that the capture makes, inside the confined
// child, first tries what tests/escape.h lists, as a decoder exploit would.
#include "escape.h"

#include <dlfcn.h>

// Tells the program (first-frame-escapes) not to make the attempt itself.
extern "C" const int first_frame_escape_from_decoder = 1;

extern "C" int avcodec_send_packet(void* context, const void* packet)
{
	static bool tried = false;
	if (!tried) {
		tried = true;
		attempt_escape();
	}
	using Decode = int (*)(void*, const void*);
	static auto decode = reinterpret_cast<Decode>(dlsym(RTLD_NEXT, "avcodec_send_packet"));
	return decode(context, packet);
}
