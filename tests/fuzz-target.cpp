// The fuzz target: the decoding child's work (open the capture, report the
// frame rate, read the first frame and hand it over) on libFuzzer's input,
// in this process and unconfined, so that the sanitizers see every fault
// the confinement would only contain. It is linked against the fast
// build's FFmpeg and OpenCV, patches and all, built by clang with
// AddressSanitizer, UndefinedBehaviorSanitizer and coverage
// (scripts/static-deps.sh --fuzz). Built with -DFIRST_FRAME_FUZZ=ON and run
// by scripts/fuzz.sh; never installed.
#define FIRST_FRAME_FUZZ_TARGET
#include "../test.cpp"

namespace {
// The input goes into a memory file on standard input, which the capture
// reads through its descriptor as the child reads the video; the reports
// and the picture go to /dev/null, through the same calls as in the
// program.
int input = -1;
int discard = -1;
} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
	input = memfd_create("input_video", MFD_CLOEXEC);
	discard = open("/dev/null", O_WRONLY | O_CLOEXEC);
	if (input < 0 || discard < 0 || dup2(input, STDIN_FILENO) != STDIN_FILENO ||
	    !silence_library_log() || !set_capture_options()) {
		std::perror("first-frame-fuzz: cannot start");
		std::abort();
	}
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (ftruncate(input, 0) != 0 || lseek(input, 0, SEEK_SET) != 0 ||
	    !write_all(input, data, size) || lseek(input, 0, SEEK_SET) != 0) {
		std::perror("first-frame-fuzz: cannot hold the input");
		std::abort();
	}
	(void)decode_video("fd:", discard);
	return 0;
}
