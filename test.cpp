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
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
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

// OpenCV's logger chatters on stderr about backends it tried, and FFmpeg
// about every damaged packet; none of it concerns the user, who gets one
// clear line from us instead. OpenCV reads its FFmpeg log level from the
// environment when it first starts FFmpeg: -8 is FFmpeg's "quiet".
static bool silence_library_log()
{
	cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
	return setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 1) == 0; // NOLINT(concurrency-mt-unsafe)
}

// The video may come from a stranger, so it must not make us read any
// other file. Playlists, manifests, concat scripts and multi-file formats
// name further files, which FFmpeg would open and decode: their first frame
// would disclose a file the stranger cannot see. FFmpeg takes, per open,
// the formats and protocols it may use; OpenCV passes it what this
// variable holds ("key;value|key;value"), so we set the whole of it, and
// allow only formats that read nothing but the file they are given (video
// containers and streams, still images, and audio files, whose cover art
// OpenCV reads as a frame) through the plain file protocol. A format we do
// not know, old or added later, is refused.
//
// The same variable carries the decoder's threading, for the OpenCV we
// build for the fast build (releases that do not know the keys ignore
// them): two slice threads share the first picture between two cores,
// HEVC's wavefronts or H.264's slices, where frame threads (see
// open_capture) would each decode a picture we do not want.
static bool set_capture_options()
{
	static const char options[] =
	    "threads;2|thread_type;slice|protocol_whitelist;file|format_whitelist;"
	    // containers
	    "mov,matroska,avi,asf,mpegts,mpegtsraw,mpeg,flv,live_flv,ogg,nut,mxf,"
	    "gxf,lxf,dv,rm,nsv,nuv,wtv,ty,pva,pmp,vivo,vividas,r3d,cine,swf,smjpeg,"
	    "mpjpeg,ivf,ivr,kux,mgsts,mtv,dhav,lmlm4,lvf,msnwctcp,mxg,ser,vc1test,"
	    "yuv4mpegpipe,"
	    // raw video streams
	    "h261,h263,h264,hevc,m4v,mpegvideo,mjpeg,mjpeg_2000,ingenient,vc1,av1,"
	    "obu,dirac,dnxhd,cavsvideo,avs2,avs3,ipu,"
	    // animations and game video
	    "gif,apng,flic,4xm,anm,argo_brp,avs,bethsoftvid,bfi,bink,bmv,c93,cdg,"
	    "cdxl,dfa,dsicin,dxa,ea,film_cpk,filmstrip,gdv,hnm,idcin,ipmovie,iv8,"
	    "jv,mm,mods,moflex,mv,mvi,nc,paf,psxstr,rl2,roq,rpl,sga,siff,"
	    "simbiosis_imx,smk,smush,thp,tiertexseq,tmv,vmd,wc3movie,wsvqa,xmv,yop,"
	    "tty,bin,adf,idf,xbin,"
	    // still images
	    "alias_pix,brender_pix,frm,fits,ico,txd,bmp_pipe,cri_pipe,dds_pipe,"
	    "dpx_pipe,exr_pipe,gem_pipe,gif_pipe,j2k_pipe,jpeg_pipe,jpegls_pipe,"
	    "jpegxl_pipe,pam_pipe,pbm_pipe,pcx_pipe,pfm_pipe,pgm_pipe,pgmyuv_pipe,"
	    "pgx_pipe,phm_pipe,photocd_pipe,pictor_pipe,png_pipe,ppm_pipe,psd_pipe,"
	    "qdraw_pipe,qoi_pipe,sgi_pipe,sunrast_pipe,svg_pipe,tiff_pipe,vbn_pipe,"
	    "webp_pipe,xbm_pipe,xpm_pipe,xwd_pipe,"
	    // audio files that may carry cover art
	    "mp3,aac,flac,wav,aiff,ape,wv,tak,mpc,mpc8,tta,dsf";
	return setenv("OPENCV_FFMPEG_CAPTURE_OPTIONS", options, 1) == 0; // NOLINT(concurrency-mt-unsafe)
}

// Frame-sized buffers (several MB each) are allocated and freed a few
// times in a run. By default glibc maps each one fresh and unmaps it on
// free, so every reuse costs the kernel new zeroed pages; keeping freed
// memory in the heap lets the next buffer reuse it. The heap is then grown
// once, ahead, and marked for huge pages: a 4K frame touches some 140 MB,
// which in 4 KiB pages is 36,000 page faults, a third of the run. Only
// what is touched is ever backed by memory. Called first thing in main,
// before any thread exists; if glibc or the kernel refuses, the run is
// only slower.
static void prepare_heap()
{
#ifdef M_MMAP_THRESHOLD
	(void)mallopt(M_MMAP_THRESHOLD, 256 << 20); // NOLINT(concurrency-mt-unsafe)
	(void)mallopt(M_TRIM_THRESHOLD, 512 << 20); // NOLINT(concurrency-mt-unsafe)
	const size_t ahead = size_t{192} << 20;
	const size_t huge = size_t{2} << 20;
	auto* heap = static_cast<char*>(std::malloc(ahead)); // NOLINT(cppcoreguidelines-no-malloc)
	if (heap == nullptr)
		return;
	size_t skip = (huge - reinterpret_cast<uintptr_t>(heap) % huge) % huge;
	(void)madvise(heap + skip, (ahead - skip) & ~(huge - 1), MADV_HUGEPAGE);
	std::free(heap); // NOLINT(cppcoreguidelines-no-malloc)
#endif
}

// No backend can open a file that is not there. Saying so at once spares
// starting FFmpeg and OpenCV's backend for it, most of a failed run.
static bool input_missing(const char* name)
{
	struct stat st;
	return stat(name, &st) != 0 && errno == ENOENT;
}

// Only FFmpeg opens the video: after FFmpeg refuses a file, OpenCV would
// hand it to its other backends (GStreamer, V4L2, image sequences,
// cameras), which open other files and devices and are not confined as
// above.
//
// With several frame threads, FFmpeg works ahead: it takes one packet per
// thread, and decodes that many frames, before it hands back the first.
// We need one frame, so one such thread does the least work and holds the
// least memory. OpenCV takes the thread count as an open parameter from
// 4.10 on; earlier releases decode with one thread per CPU.
static bool open_capture(cv::VideoCapture& cap, const std::string& name)
{
#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 10)
	return cap.open(name, cv::CAP_FFMPEG, {cv::CAP_PROP_N_THREADS, 1});
#else
	return cap.open(name, cv::CAP_FFMPEG);
#endif
}

// A library call may throw: OpenCV reports exhausted memory (a stranger's
// video may declare a huge picture) and its own errors as exceptions. That
// is a failure of the step it happened in, reported like any other, not a
// reason to abort with a message on stderr.
template <typename Step>
static bool run_step(Step step)
{
	try {
		return step();
	} catch (...) {
		return false;
	}
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
	prepare_heap();

	cv::VideoCapture cap;
	double fps = 0;
	bool bOpened = silence_library_log() && set_capture_options() &&
	    !input_missing("input_video") && run_step([&] {
		if (!open_capture(cap, "input_video"))
			return false;
		fps = cap.get(CV_CAP_PROP_FPS);
		return true;
	});
	if (!bOpened) {
		std::puts("error: failed to open the video file.");
		return -1;
	}
	std::printf("Frame per seconds: %f\n", fps);

	cv::Mat frame;
	bool bSuccess = run_step([&] {
		if (!cap.read(frame))
			return false;
		undo_backwards_rotation(cap, frame);
		// The decoder's buffers are not needed any more; freeing
		// them before the image is encoded keeps a 4K frame's peak
		// memory down.
		cap.release();
		return true;
	});
	if (!bSuccess) {
		std::puts("error: failed to read the frame from the video file.");
		return -1;
	}

	if (!run_step([&] { return save_image("first_frame.bmp", frame); })) {
		std::puts("error: failed to write the image file.");
		return -1;
	}
	std::puts("First frame saved.");
	return 0;
}
