// first-frame: print the frame rate of "input_video" and save its first
// frame as "first_frame.bmp", both in the working directory.
//
// The run is the five steps in main(), in order. Each safeguard that the
// plain library calls lack lives in a small helper above it.

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

// The property keeps its long-standing C name; newer headers may only
// offer cv::CAP_PROP_FPS, which has the same value.
#if __has_include(<opencv2/videoio/legacy/constants_c.h>)
#include <opencv2/videoio/legacy/constants_c.h>
#else
enum { CV_CAP_PROP_FPS = cv::CAP_PROP_FPS };
#endif

// OpenCV's logger chatters on stderr about backends it tried; none of it
// concerns the user, who gets one clear line from us instead.
static void silence_library_log()
{
	cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
}

// Frame-sized buffers (several MB each) are allocated and freed a few
// times in a run. By default glibc maps each one fresh and unmaps it on
// free, so every reuse costs the kernel new zeroed pages; keeping freed
// memory in the heap lets the next buffer reuse it. Called first thing in
// main, before any thread exists; if glibc refuses, the run is only slower.
static void keep_freed_memory()
{
#ifdef M_MMAP_THRESHOLD
	(void)mallopt(M_MMAP_THRESHOLD, 256 << 20); // NOLINT(concurrency-mt-unsafe)
	(void)mallopt(M_TRIM_THRESHOLD, 512 << 20); // NOLINT(concurrency-mt-unsafe)
#endif
}

// No backend can open a file that is not there. Saying so at once spares
// the GStreamer, camera and image-sequence backends that OpenCV would
// otherwise start one after another, only for each to fail.
static bool input_missing(const char* name)
{
	struct stat st;
	return stat(name, &st) != 0 && errno == ENOENT;
}

// With several decoding threads, FFmpeg works ahead: it takes one packet
// per thread, and decodes that many frames, before it hands back the
// first. We need one frame, so one thread does the least work and holds
// the least memory. OpenCV takes the thread count as an open parameter
// from 4.10 on (earlier releases decode with one thread per CPU); only its
// FFmpeg backend knows the parameter, so the other backends are tried, as
// usual, without it.
static void open_capture(cv::VideoCapture& cap, const std::string& name)
{
#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 10)
	if (cap.open(name, cv::CAP_FFMPEG, {cv::CAP_PROP_N_THREADS, 1}))
		return;
#endif
	cap.open(name);
}

// OpenCV 4.6 turns frames tagged with a 90 or 270 degree rotation the
// wrong way: it reads the display matrix's angle with the wrong sign, so
// such a frame comes out upside down; 4.7 fixed the sign. Turning the
// frame a further 180 degrees gives the frame a player shows. The range
// starts where automatic rotation arrived (4.5.2); releases outside it are
// left alone, so a fixed library is not turned twice.
#define FIRST_FRAME_VERSION_ID(major, minor, revision) \
	((major) * 10000 + (minor) * 100 + (revision))
#if FIRST_FRAME_VERSION_ID(CV_VERSION_MAJOR, CV_VERSION_MINOR, CV_VERSION_REVISION) >= \
    FIRST_FRAME_VERSION_ID(4, 5, 2) && \
    FIRST_FRAME_VERSION_ID(CV_VERSION_MAJOR, CV_VERSION_MINOR, CV_VERSION_REVISION) < \
    FIRST_FRAME_VERSION_ID(4, 7, 0)
#define FIRST_FRAME_ROTATION_BACKWARDS 1
#else
#define FIRST_FRAME_ROTATION_BACKWARDS 0
#endif

static void undo_backwards_rotation(cv::VideoCapture& cap, cv::Mat& frame)
{
#if FIRST_FRAME_ROTATION_BACKWARDS
	if (cap.get(cv::CAP_PROP_ORIENTATION_AUTO) == 0)
		return;
	int angle = static_cast<int>(cap.get(cv::CAP_PROP_ORIENTATION_META));
	if (angle == 90 || angle == 270)
		cv::rotate(frame, frame, cv::ROTATE_180);
#else
	(void)cap;
	(void)frame;
#endif
}

// A file-size limit must show up as a failed write that we clean up after,
// not as a signal that kills us with a partial file on disk.
static bool ignore_file_size_signal()
{
	return std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
}

// Create a new, uniquely named file beside `name`, with the permissions a
// plain create gives (0666 less the umask). Returns the descriptor, or -1.
static int create_temporary(const std::string& name, std::string& tmp)
{
	for (int attempt = 0; attempt < 100; attempt++) {
		tmp = "." + name + "." + std::to_string(getpid()) + "." +
		    std::to_string(attempt);
		int fd = open(tmp.c_str(),
		    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
		if (fd >= 0 || errno != EEXIST)
			return fd;
	}
	return -1;
}

// write(2) may store less than asked; keep going until all of it is down
// or the system says why not.
static bool write_all(int fd, const unsigned char* data, size_t size)
{
	while (size > 0) {
		ssize_t n = write(fd, data, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		data += n;
		size -= static_cast<size_t>(n);
	}
	return true;
}

// Store the image complete or not at all. The library's own file writer
// does not report a short write, so encode in memory, write a temporary
// file beside the target with every step checked, and rename it into
// place: a reader sees the old image or the new one, never a mix, and a
// failed run leaves an earlier image as it was.
static bool save_image(const std::string& name, const cv::Mat& image)
{
	std::vector<unsigned char> encoded;
	if (!cv::imencode(".bmp", image, encoded, std::vector<int>()))
		return false;

	if (!ignore_file_size_signal())
		return false;
	std::string tmp;
	int fd = create_temporary(name, tmp);
	if (fd < 0)
		return false;
	// No fsync: like cp and ffmpeg we leave flushing to the system. It
	// would cost about a tenth of a run, and ext4 already writes a file's
	// data out before a rename that replaces another file commits.
	bool written = write_all(fd, encoded.data(), encoded.size());
	bool closed = close(fd) == 0;
	if (written && closed && rename(tmp.c_str(), name.c_str()) == 0)
		return true;
	unlink(tmp.c_str());
	return false;
}

int main(int argc, char* argv[])
{
	(void)argc;
	(void)argv;
	silence_library_log();
	keep_freed_memory();

	cv::VideoCapture cap;
	if (!input_missing("input_video"))
		open_capture(cap, "input_video");
	if (!cap.isOpened()) {
		std::puts("error: failed to open the video file.");
		return -1;
	}

	double fps = cap.get(CV_CAP_PROP_FPS);
	std::printf("Frame per seconds: %f\n", fps);

	cv::Mat frame;
	bool bSuccess = cap.read(frame);
	if (!bSuccess) {
		std::puts("error: failed to read the frame from the video file.");
		return -1;
	}
	undo_backwards_rotation(cap, frame);
	// The decoder's buffers are not needed any more; freeing them before
	// the image is encoded keeps a 4K frame's peak memory down.
	cap.release();

	if (!save_image("first_frame.bmp", frame)) {
		std::puts("error: failed to write the image file.");
		return -1;
	}
	std::puts("First frame saved.");
	return 0;
}
