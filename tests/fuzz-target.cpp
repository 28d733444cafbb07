// The fuzz target: the decoding child's work (open the capture, report the
// frame rate, read the first frame, encode the BMP) on libFuzzer's input,
// in this process and unconfined, so that the sanitizers see every fault
// the confinement would only contain. It is linked against the fast
// build's FFmpeg and OpenCV, patches and all, built by clang with
// AddressSanitizer, UndefinedBehaviorSanitizer and coverage
// (scripts/static-deps.sh --fuzz). Built with -DFIRST_FRAME_FUZZ=ON and run
// by scripts/fuzz.sh; never installed.
#define FIRST_FRAME_FUZZ_TARGET
#include "../test.cpp"

namespace {
// The input goes into a memory file that the capture opens by name, as
// the child opens the video through /proc/self/fd; the image and the
// reports go to /dev/null, through the same calls as in the program.
int input = -1;
int discard = -1;
std::string name;
} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
	input = memfd_create("input_video", MFD_CLOEXEC);
	discard = open("/dev/null", O_WRONLY | O_CLOEXEC);
	if (input < 0 || discard < 0 || !silence_library_log() || !set_capture_options()) {
		std::perror("first-frame-fuzz: cannot start");
		std::abort();
	}
	name = descriptor_path(input);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (ftruncate(input, 0) != 0 || lseek(input, 0, SEEK_SET) != 0 ||
	    !write_all(input, data, size)) {
		std::perror("first-frame-fuzz: cannot hold the input");
		std::abort();
	}
	(void)decode_video(name, discard, discard);
	return 0;
}
