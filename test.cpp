// first-frame: print the frame rate of "input_video" and save its first
// frame as "first_frame.bmp", both in the working directory.
//
// The video may come from a stranger, and a bug in a demuxer or decoder
// may let a crafted file run code of its own. So the video is parsed only
// in a child process that first confines itself: it reads input_video
// through a descriptor it opened before, opens nothing else, changes no
// file, starts no program, opens no socket and touches no other process.
// It hands the decoded picture to this process, which checks its size,
// prints the lines and writes the image itself. Both halves are in main(),
// in the order of the run; each safeguard that the plain library calls
// lack lives in a small helper above it.

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <malloc.h>
#include <poll.h>
#include <sched.h>
#ifdef FIRST_FRAME_FILTER_MAKER
#include <seccomp.h>
#endif
#include <grp.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

// FFmpeg 6.0 and later read a video through a descriptor that the caller
// opened (the fd: protocol, which reads descriptor 0): the decoding child
// then opens nothing at all once confined. With an older FFmpeg it opens
// the video by name, and its confinement lets that one file through. The
// build says which (FIRST_FRAME_VIDEO_BY_DESCRIPTOR).
#ifndef FIRST_FRAME_VIDEO_BY_DESCRIPTOR
#define FIRST_FRAME_VIDEO_BY_DESCRIPTOR 0
#endif
#if FIRST_FRAME_VIDEO_BY_DESCRIPTOR
#define FIRST_FRAME_PROTOCOL "fd"
#else
#define FIRST_FRAME_PROTOCOL "file"
#endif

#ifdef FIRST_FRAME_ESCAPE_ATTEMPTS
#include "tests/escape.h" // test builds only: try to break out once confined
#endif

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
// OpenCV reads as a frame) through the one protocol the video is read
// with. A format we do not know, old or added later, is refused.
//
// The same variable carries the decoder's threading, for the OpenCV we
// build for the fast build (releases that do not know the keys ignore
// them): two slice threads share the first picture between two cores,
// HEVC's wavefronts or H.264's slices, where frame threads (see
// open_capture) would each decode a picture we do not want.
static bool set_capture_options()
{
	static const char options[] =
	    "threads;2|thread_type;slice|protocol_whitelist;" FIRST_FRAME_PROTOCOL "|format_whitelist;"
	    // containers (mov also reads HEIF and AVIF photos: their items,
	    // grids and tiles all live in the one file)
	    "mov,matroska,avi,asf,mpegts,mpegtsraw,mpeg,flv,live_flv,ogg,nut,mxf,"
	    "gxf,lxf,dv,rm,nsv,nuv,wtv,ty,pva,pmp,vivo,vividas,r3d,cine,swf,smjpeg,"
	    "mpjpeg,ivf,ivr,kux,mgsts,mtv,dhav,lmlm4,lvf,msnwctcp,mxg,ser,vc1test,"
	    "yuv4mpegpipe,"
	    // raw video streams
	    "h261,h263,h264,hevc,vvc,m4v,mpegvideo,mjpeg,mjpeg_2000,ingenient,vc1,"
	    "av1,obu,dirac,dnxhd,cavsvideo,avs2,avs3,ipu,"
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
// what is touched is ever backed by memory. Each further thread that
// allocates would reserve 64 MiB of address space for an arena of its own,
// which counts against the child's memory ceiling (a 64-core host starts
// over a hundred such threads in the default build): four arenas serve
// the few threads that decode. Called first thing in the child, before
// any thread exists, and in the parent once the child decodes, for the
// picture handed over and its BMP; if glibc or the kernel refuses, the
// run is only slower.
static void prepare_heap()
{
#ifdef M_MMAP_THRESHOLD
	(void)mallopt(M_MMAP_THRESHOLD, 256 << 20); // NOLINT(concurrency-mt-unsafe)
	(void)mallopt(M_TRIM_THRESHOLD, 512 << 20); // NOLINT(concurrency-mt-unsafe)
	(void)mallopt(M_ARENA_MAX, 4); // NOLINT(concurrency-mt-unsafe)
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
#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 10)
#define FIRST_FRAME_CAPTURE_TAKES_THREADS 1
#else
#define FIRST_FRAME_CAPTURE_TAKES_THREADS 0
#endif

static bool open_capture(cv::VideoCapture& cap, const std::string& name)
{
#if FIRST_FRAME_CAPTURE_TAKES_THREADS
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

#if FIRST_FRAME_ROTATION_BACKWARDS
static void undo_backwards_rotation(cv::VideoCapture& cap, cv::Mat& frame)
{
	if (cap.get(cv::CAP_PROP_ORIENTATION_AUTO) == 0)
		return;
	int angle = static_cast<int>(cap.get(cv::CAP_PROP_ORIENTATION_META));
	if (angle == 90 || angle == 270)
		cv::rotate(frame, frame, cv::ROTATE_180);
}
#else
static void undo_backwards_rotation(const cv::VideoCapture& /*cap*/, const cv::Mat& /*frame*/)
{
}
#endif

// --- Confinement of the decoding child --------------------------------------

// Landlock's access rights and scopes by ABI version, for C library headers
// older than the kernel (Debian 12's know ABI 2).
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

// A sanitizer build reports on standard error, and checks for leaks at
// exit: it lists the process's threads in /proc and stops them from a
// helper task with ptrace and signals. Such a build, never a shipped one,
// lets that through.
#if defined(__SANITIZE_ADDRESS__)
#define FIRST_FRAME_SANITIZED 1
#else
#define FIRST_FRAME_SANITIZED 0
#endif

// The kernel's ruleset attributes as of ABI 6; a kernel that knows fewer
// fields takes the longer structure as long as the fields it does not know
// are zero.
struct landlock_ruleset
{
	uint64_t handled_access_fs;
	uint64_t handled_access_net;
	uint64_t scoped;
};

#if !FIRST_FRAME_VIDEO_BY_DESCRIPTOR || FIRST_FRAME_SANITIZED
// Allow `access` to the file that `fd` names, or beneath the directory.
static bool allow(int rules, int fd, uint64_t access)
{
	landlock_path_beneath_attr rule = {access, fd};
	return syscall(SYS_landlock_add_rule, rules, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// The same by name; what is not there needs no rule. (Which builds need
// one depends on their OpenCV.)
[[maybe_unused]] static bool allow_path(int rules, const char* path, uint64_t access)
{
	int fd = open(path, O_PATH | O_CLOEXEC);
	if (fd < 0)
		return errno == ENOENT;
	bool allowed = allow(rules, fd, access);
	close(fd);
	return allowed;
}
#endif

// Let the child open no file by name, and change none: no file, no
// directory, no change to any file; with newer kernels also no TCP, no
// abstract socket and no signal to a process outside. Where FFmpeg opens
// the video by name, input_video (the file the parent opened) may be read,
// and the one system file that OpenCV before 4.10 reads for each capture
// it opens (the CPUs online, to choose its decoder threads; see
// open_capture). Rights that the running kernel's Landlock does not know
// are left out, as its documentation shows; a kernel without Landlock
// leaves the file system as it is, and the run goes on. `landlocked` tells
// whether the fence is up.
static bool confine_file_system([[maybe_unused]] int video, bool& landlocked)
{
	long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0,
	    LANDLOCK_CREATE_RULESET_VERSION);
	if (abi < 0)
		return errno == ENOSYS || errno == EOPNOTSUPP;

	landlock_ruleset ruleset = {
		LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
		    LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR |
		    LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
		    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
		    LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
		    LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
		    LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER |
		    LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_IOCTL_DEV,
		LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP,
		LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL,
	};
	switch (abi) {
	case 1:
		ruleset.handled_access_fs &= ~LANDLOCK_ACCESS_FS_REFER;
		[[fallthrough]];
	case 2:
		ruleset.handled_access_fs &= ~LANDLOCK_ACCESS_FS_TRUNCATE;
		[[fallthrough]];
	case 3:
		ruleset.handled_access_net = 0;
		[[fallthrough]];
	case 4:
		ruleset.handled_access_fs &= ~LANDLOCK_ACCESS_FS_IOCTL_DEV;
		[[fallthrough]];
	case 5:
		ruleset.scoped = 0;
		break;
	default:
		break;
	}
	int rules = static_cast<int>(syscall(SYS_landlock_create_ruleset, &ruleset,
	    sizeof ruleset, 0));
	if (rules < 0)
		return false;
	bool confined = true;
#if !FIRST_FRAME_VIDEO_BY_DESCRIPTOR
	confined = allow(rules, video, LANDLOCK_ACCESS_FS_READ_FILE);
#if !FIRST_FRAME_CAPTURE_TAKES_THREADS
	confined = confined && allow_path(rules, "/sys/devices/system/cpu/online",
	    LANDLOCK_ACCESS_FS_READ_FILE);
#endif
#endif
#if FIRST_FRAME_SANITIZED
	confined = confined && allow_path(rules, "/proc/self",
	    LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR);
#endif
	confined = confined && syscall(SYS_landlock_restrict_self, rules, 0) == 0;
	close(rules);
	landlocked = confined;
	return confined;
}

// Under valgrind the child's code runs translated: valgrind maps new
// executable memory for it and makes system calls of its own. Its client
// request says whether we run under it; on a real CPU the request is a
// no-op that answers 0, and it is asked by the parent, which never parses
// the video, so a video cannot pretend.
static bool under_valgrind()
{
#if __has_include(<valgrind/valgrind.h>)
	return RUNNING_ON_VALGRIND != 0;
#else
	return false;
#endif
}

// The system calls the child may make once confined. Each call that the
// libraries linked in can make (scripts/syscall-inventory.sh lists them,
// from the C library functions they import, and fails on one not yet
// classified here) is in one of three groups:
//  - allowed, where it acts on the child alone: its memory, its threads,
//    its own descriptors, time, sleeping, its own random bytes;
//  - refused with an errno, where it would reach outside (a path, its
//    metadata, the system's identity, another process) but a library has
//    a fallback, so a valid video still decodes;
//  - killed, everything else: any such call kills the child at once, all
//    its threads, as a compromise and not an input error.
// Where a cheap look at an argument narrows a call to its use here, the
// rule takes it. The threads FFmpeg starts later inherit the filter.
//
// The filter is made once, when the program is built, by libseccomp, and
// the program carries it as the kernel's BPF program (no run builds it,
// and the program does not link libseccomp): one for a real CPU, one for
// valgrind. The child's pid, which two rules compare with, is written in
// as a placeholder that no pid can be, and filled in for each run.
static const uint32_t pid_placeholder = 0x7ff7f7f7;

#ifdef FIRST_FRAME_FILTER_MAKER
static bool make_filter(int to, bool valgrind)
{
	const pid_t decoder = static_cast<pid_t>(pid_placeholder);
	static const int plain[] = {
		// memory (brk: the C library's heap when mmap is refused, under
		// a memory limit; mremap: realloc of a block it mapped)
		SYS_brk, SYS_munmap, SYS_mremap,
		// threads, and waiting for them (restart_syscall resumes a wait
		// that a stop and continue interrupted)
		SYS_set_robust_list, SYS_rseq, SYS_rt_sigprocmask,
		SYS_rt_sigaction, SYS_rt_sigreturn, SYS_sigaltstack, SYS_exit,
		SYS_sched_yield, SYS_restart_syscall, SYS_getcpu,
		// reading the video (fstat is newfstatat in glibc 2.36, fstat in
		// 2.41; FFmpeg's fd: protocol reads a copy of descriptor 0)
		SYS_read, SYS_pread64, SYS_lseek, SYS_fstat, SYS_newfstatat, SYS_close,
		SYS_fadvise64, SYS_dup,
		// handing the picture and the reports over (writev: the C
		// library's message before an abort), and waiting on its own
		// descriptors
		SYS_write, SYS_writev, SYS_poll, SYS_ppoll, SYS_select, SYS_pselect6,
		// time: the vDSO answers without the kernel, but where the clock
		// source does not allow it the C library makes the call (the
		// clocks themselves are narrowed below); sleeping; CPU time of its
		// own (clock(), FFmpeg's random seed)
		SYS_gettimeofday, SYS_time, SYS_nanosleep, SYS_times, SYS_getrusage,
		// random bytes of its own (av_get_random_seed, hash seeds)
		SYS_getrandom,
		// its own identity; exit; getpid and gettid also for abort() (see
		// tgkill below)
		SYS_getuid, SYS_geteuid, SYS_getgid, SYS_getegid,
		SYS_exit_group, SYS_getpid, SYS_gettid,
	};
	// Refused, with the errno a caller handles: ENOENT for a path, as if
	// nothing were there; ENOTTY for a terminal query (isatty); ENOSYS
	// where the C library falls back to an older call; EPERM otherwise.
	static const std::pair<int, int> refused[] = {
		// a path's existence, target or metadata, and directory lists
		{SYS_access, ENOENT}, {SYS_faccessat, ENOENT}, {SYS_faccessat2, ENOENT},
		{SYS_readlink, ENOENT}, {SYS_readlinkat, ENOENT}, {SYS_getcwd, ENOENT},
		{SYS_statx, ENOSYS}, {SYS_getdents64, ENOENT}, {SYS_getdents, ENOENT},
		// the system: its memory and load, its name and kernel
		{SYS_sysinfo, EPERM}, {SYS_uname, EPERM},
		// terminals and devices (isatty asks with ioctl)
		{SYS_ioctl, ENOTTY},
		// scheduling of its threads (a library may ask for a priority)
		{SYS_sched_setaffinity, EPERM}, {SYS_sched_setscheduler, EPERM},
		{SYS_sched_setparam, EPERM},
		// flags a filter cannot read: the C library falls back to clone
		// and openat, whose flags it can
		{SYS_clone3, ENOSYS}, {SYS_openat2, ENOSYS},
	};
	// The whole process goes; under valgrind, which passes only the older
	// interface through, the thread that made the call. (A kernel before
	// Linux 4.14, which does not know the newer action, takes it as the
	// older.) The build's kernel is not asked what it can do.
	const uint32_t deny = valgrind ? SCMP_ACT_KILL : SCMP_ACT_KILL_PROCESS;
	if (seccomp_api_set(3) != 0)
		return false;
	scmp_filter_ctx filter = seccomp_init(deny);
	if (filter == nullptr)
		return false;
	// 32-bit system calls made from this 64-bit process would be read
	// with the wrong numbers.
	bool ok = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, deny) == 0;
	const auto rule = [&](uint32_t action, int call, auto... conditions) {
		ok = ok && seccomp_rule_add(filter, action, call, sizeof...(conditions),
		    conditions...) == 0;
	};
	const uint32_t enoent = SCMP_ACT_ERRNO(ENOENT);
	const uint32_t einval = SCMP_ACT_ERRNO(EINVAL);
	const uint32_t eperm = SCMP_ACT_ERRNO(EPERM);
	// Test runs only, never a shipped binary: what a sanitizer's or
	// valgrind's runtime calls of its own. Added first, as libseccomp keeps
	// the first rule without conditions for a call, so these stand over
	// the narrower rules below.
#if FIRST_FRAME_SANITIZED
	// AddressSanitizer's: its threads' signal stacks and bounds (each
	// thread asks its attributes, its CPU mask among them, by its own
	// id), and the leak check at exit, which lists the threads in
	// /proc/self/task (getdents in GCC 12's runtime, getdents64 in GCC
	// 14's) and stops them from a helper task with ptrace, and its own
	// report (symbolised through /proc/self/exe) before it exits.
	for (int call : {SYS_madvise, SYS_pipe2, SYS_clone, SYS_prctl, SYS_getppid, SYS_ptrace,
		 SYS_wait4, SYS_open, SYS_getdents, SYS_getdents64, SYS_readlink, SYS_tgkill,
		 SYS_sched_getaffinity})
		rule(SCMP_ACT_ALLOW, call);
#endif
	// cppcheck-suppress knownConditionTrueFalse
	if (valgrind) {
		// valgrind's own, for its scheduler and signals, and to read the
		// debugging information of the code it reports on, which 3.20 and
		// later read only when first needed; it maps that code's
		// translations executable.
		for (int call : {SYS_rt_sigtimedwait, SYS_open, SYS_stat, SYS_lstat, SYS_readlink,
			 SYS_getcwd, SYS_access, SYS_faccessat, SYS_mmap, SYS_mprotect})
			rule(SCMP_ACT_ALLOW, call);
	}
	for (int call : plain)
		rule(SCMP_ACT_ALLOW, call);
	for (auto [call, error] : refused)
		rule(SCMP_ACT_ERRNO(static_cast<uint32_t>(error)), call);
	// Memory of its own, private: no new executable memory, which code of
	// an attacker's own would need; no shared memory, which its memory
	// ceiling would not count; no huge pages, a pool the whole machine
	// shares. Refused, not killed: where the kernel has no Landlock to
	// refuse the open first, the C library's character conversions
	// (FFmpeg's, for text in some containers) try to load their modules
	// and map their cache shared, and fail as they do with Landlock.
	const scmp_datum_t private_map = MAP_PRIVATE;
	const scmp_datum_t map_kind = MAP_TYPE | MAP_HUGETLB;
	rule(SCMP_ACT_ALLOW, SYS_mmap, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0),
	    SCMP_A3(SCMP_CMP_MASKED_EQ, map_kind, private_map));
	for (scmp_datum_t shared : {MAP_SHARED, MAP_SHARED_VALIDATE})
		rule(eperm, SYS_mmap, SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_TYPE, shared));
	rule(eperm, SYS_mmap, SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_HUGETLB, MAP_HUGETLB));
	rule(eperm, SYS_mmap, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC));
	rule(SCMP_ACT_ALLOW, SYS_mprotect, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
	rule(eperm, SYS_mprotect, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC));
	// The C library gives freed memory back, and may ask for huge pages
	// (glibc's malloc tunables); advice about its own memory only.
	for (int advice : {MADV_DONTNEED, MADV_FREE, MADV_HUGEPAGE, MADV_NOHUGEPAGE,
		 MADV_WILLNEED, MADV_NORMAL, MADV_RANDOM, MADV_SEQUENTIAL, MADV_DONTDUMP})
		rule(SCMP_ACT_ALLOW, SYS_madvise, SCMP_A2(SCMP_CMP_EQ, static_cast<scmp_datum_t>(advice)));
	// The clocks of the system and its own CPU time; a negative clock id
	// names another process's CPU clock, whose time tells what it does.
	const scmp_datum_t sign = 0x80000000;
	for (int call : {SYS_clock_gettime, SYS_clock_getres, SYS_clock_nanosleep}) {
		rule(SCMP_ACT_ALLOW, call, SCMP_A0(SCMP_CMP_MASKED_EQ, sign, 0));
		rule(einval, call, SCMP_A0(SCMP_CMP_MASKED_EQ, sign, sign));
	}
	// The CPUs it may run on, for the size of a thread pool (sysconf,
	// av_cpu_count; VVC's decoder asks at open): its own (0, or its pid),
	// never another process's, whose answer would tell that it exists.
	const auto self = static_cast<scmp_datum_t>(decoder);
	for (scmp_datum_t pid : {scmp_datum_t{0}, self})
		rule(SCMP_ACT_ALLOW, SYS_sched_getaffinity, SCMP_A0(SCMP_CMP_EQ, pid));
	rule(eperm, SYS_sched_getaffinity, SCMP_A0(SCMP_CMP_GT, self));
	rule(eperm, SYS_sched_getaffinity, SCMP_A0(SCMP_CMP_LT, self));
	// Threads: a clone must share the address space, files and signal
	// handlers and join the thread group, so it can be nothing but a
	// thread: no process that outlives this one, no namespace.
	const uint64_t thread = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND |
	    CLONE_THREAD | CLONE_SYSVSEM;
	const uint64_t thread_ids = CLONE_SETTLS | CLONE_PARENT_SETTID |
	    CLONE_CHILD_CLEARTID | CLONE_CHILD_SETTID;
	rule(SCMP_ACT_ALLOW, SYS_clone, SCMP_A0(SCMP_CMP_MASKED_EQ, ~thread_ids, thread));
	// Waiting and waking, the futex operations of the C library's locks,
	// condition variables and thread joins and of C++'s: none of the
	// priority-inheritance or requeue ones, nor a wake with an operation
	// on a second word. (The operation's low bits; the flags for a private
	// futex and the real-time clock may be set.)
	for (int operation : {FUTEX_WAIT, FUTEX_WAKE, FUTEX_WAIT_BITSET, FUTEX_WAKE_BITSET})
		rule(SCMP_ACT_ALLOW, SYS_futex, SCMP_A1(SCMP_CMP_MASKED_EQ, scmp_datum_t{FUTEX_CMD_MASK & 0x7f},
		    static_cast<scmp_datum_t>(operation)));
	// Thread names (dav1d and FFmpeg name their threads), read or set.
	for (int option : {PR_SET_NAME, PR_GET_NAME})
		rule(SCMP_ACT_ALLOW, SYS_prctl, SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(option)));
	// Its own limits, read only (sysconf, a thread's stack size).
	rule(SCMP_ACT_ALLOW, SYS_prlimit64, SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0));
	// One signal, to this process only: abort() raises SIGABRT at itself,
	// so that a crash is reported as one, not as a forbidden call. Any
	// other (a stop, a SIGTERM that would read as "stopped from outside")
	// is a forbidden call.
	rule(SCMP_ACT_ALLOW, SYS_tgkill, SCMP_A0(SCMP_CMP_EQ, self), SCMP_A2(SCMP_CMP_EQ, SIGABRT));
	// Opens for reading only: a library looks for a file of its own now
	// and then (the C library's character conversions, the time zone),
	// and does without. Where the video is read through its descriptor
	// nothing is opened at all, as if no file were there; where FFmpeg
	// opens it by name (or in a sanitizer build, whose runtime reads /proc
	// as it goes), it is opened, and even where the kernel has no Landlock
	// nothing is written, created or emptied by path. (O_TMPFILE includes
	// O_DIRECTORY, which a read may have.)
	const bool opens = !FIRST_FRAME_VIDEO_BY_DESCRIPTOR || FIRST_FRAME_SANITIZED;
	rule(opens ? SCMP_ACT_ALLOW : enoent, SYS_openat,
	    SCMP_A2(SCMP_CMP_MASKED_EQ, O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND |
		(O_TMPFILE & ~O_DIRECTORY), 0));
	// FFmpeg marks the video's descriptor close-on-exec (and copies it,
	// where its build knows the command); a descriptor's flags may be
	// read.
	for (int command : {F_SETFD, F_GETFD, F_GETFL, F_DUPFD_CLOEXEC})
		rule(SCMP_ACT_ALLOW, SYS_fcntl, SCMP_A1(SCMP_CMP_EQ, static_cast<scmp_datum_t>(command)));
	ok = ok && seccomp_export_bpf(filter, to) == 0;
	seccomp_release(filter);
	return ok;
}
#endif

// The filter this process wrote for the child, whole: the child reads it
// until this process closes the pipe, which it does once it has mapped
// root's child's ids (see send_filter).
static bool receive_filter(int from, std::vector<sock_filter>& program)
{
	program.resize(BPF_MAXINSNS);
	auto* bytes = reinterpret_cast<char*>(program.data());
	const size_t room = program.size() * sizeof program[0];
	size_t size = 0;
	ssize_t n = 0;
	while (size < room &&
	    ((n = read(from, bytes + size, room - size)) > 0 || (n < 0 && errno == EINTR)))
		size += static_cast<size_t>(std::max<ssize_t>(n, 0));
	close(from);
	program.resize(size / sizeof program[0]);
	return n == 0 && size > 0 && size % sizeof program[0] == 0;
}

// The child loads the filter: any call not on it kills the child from
// then on.
static bool load_filter(std::vector<sock_filter>& program)
{
#ifdef FIRST_FRAME_ESCAPE_ATTEMPTS
	if (escape_without_filter())
		return true; // the tests try what stands behind the filter
#endif
	sock_fprog loaded = {static_cast<unsigned short>(program.size()), program.data()};
	// For every thread of the process (there is one). valgrind knows only
	// the older interface, which kills a thread, not the process, on a
	// forbidden call; the filter was built for it.
	return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &loaded) == 0 ||
	    (errno == ENOSYS && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &loaded) == 0);
}

// The name under which a file opened as `fd` can be opened again.
static std::string descriptor_path(int fd)
{
	return "/proc/self/fd/" + std::to_string(fd);
}

#if FIRST_FRAME_VIDEO_BY_DESCRIPTOR
// The same file: the video as the parent opened it, and opened again.
static bool same_file(int fd, int other)
{
	struct stat opened = {};
	struct stat again = {};
	return fstat(fd, &opened) == 0 && fstat(other, &again) == 0 &&
	    opened.st_dev == again.st_dev && opened.st_ino == again.st_ino;
}
#else
// The same file: the video as the parent opened it, and a path to it.
static bool same_file(int fd, const char* path)
{
	struct stat opened = {};
	struct stat named = {};
	return fstat(fd, &opened) == 0 && stat(path, &named) == 0 &&
	    opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}
#endif

// The video, opened for reading by the child before it confines itself:
// FFmpeg's fd: protocol reads it as the child's standard input. It is the
// file the parent opened (through /proc, or where there is none by name,
// checked to be that file). A FIFO nobody writes holds the child here,
// until its bound. Where FFmpeg opens the video by name, the child's
// standard input is /dev/null.
static int open_video_for_reading([[maybe_unused]] int video)
{
#if FIRST_FRAME_VIDEO_BY_DESCRIPTOR
	int fd = open(descriptor_path(video).c_str(), O_RDONLY | O_CLOEXEC);
	if (fd >= 0 || errno != ENOENT)
		return fd;
	fd = open("input_video", O_RDONLY | O_CLOEXEC);
	if (fd >= 0 && !same_file(fd, video)) {
		close(fd);
		fd = -1;
	}
	return fd;
#else
	return open("/dev/null", O_RDONLY | O_CLOEXEC);
#endif
}

// The child reads no input but the video and prints nothing (this process
// prints every line), so a compromised decoder gets neither the terminal,
// to type into or to write escape sequences to, nor lines of its own on
// our output. `input` becomes its standard input. A sanitizer build keeps
// standard error for its reports; the libraries are silenced anyway.
static bool detach_standard_streams(int input)
{
	int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	bool detached = input >= 0 && null >= 0 && dup2(input, STDIN_FILENO) == STDIN_FILENO &&
	    dup2(null, STDOUT_FILENO) == STDOUT_FILENO &&
	    (FIRST_FRAME_SANITIZED || dup2(null, STDERR_FILENO) == STDERR_FILENO);
	for (int fd : {input, null})
		if (fd > STDERR_FILENO)
			close(fd);
	return detached;
}

// The child keeps its standard streams and the descriptors it was given;
// any other that whoever started us left open (a socket, a file) is
// closed, so that a compromised decoder cannot write to it.
static bool close_other_descriptors(std::vector<int> keep)
{
	std::sort(keep.begin(), keep.end());
	unsigned int from = STDERR_FILENO + 1;
	for (int fd : keep) {
		if (fd < static_cast<int>(from))
			continue;
		if (static_cast<unsigned int>(fd) > from &&
		    close_range(from, static_cast<unsigned int>(fd) - 1, 0) != 0)
			return false;
		from = static_cast<unsigned int>(fd) + 1;
	}
	return close_range(from, ~0U, 0) == 0;
}

// Run as root, the child would keep every capability: setting the clock
// and the host name, rebooting, loading modules, owning any file. It drops
// them all, the bounding set too where it may, so that a run as root
// decodes with none. (Without CAP_SETPCAP the bounding set stays, but with
// no_new_privs and no exec nothing can be gained from it.)
static bool drop_capabilities()
{
	__user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct held[_LINUX_CAPABILITY_U32S_3] = {};
	if (syscall(SYS_capget, &header, held) != 0)
		return false;
	if ((held[0].effective & (1U << CAP_SETPCAP)) != 0) {
		// Each the kernel knows, until it knows no more (EINVAL).
		int cap = 0;
		while (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) == 0)
			cap++;
		if (errno != EINVAL || cap == 0)
			return false;
	}
	// Ambient capabilities came with Linux 4.3; before, there are none.
	if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
		return false;
	__user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
	return syscall(SYS_capset, &header, none) == 0;
}

// The ids root's child takes, user and group: "nobody"'s.
static const uid_t nobody = 65534;

#if FIRST_FRAME_VIDEO_BY_DESCRIPTOR
// Run as root, the child would read and own files as root. Having opened
// the video, it needs no one's permission any more: it takes nobody's ids,
// real, effective, saved and file-system, user and group, whatever the
// video's mode. Its supplementary groups go first, while it may still
// drop them (`leaving`); the ids change once the filter has come, by when
// this process has mapped nobody into the child's own user namespace,
// where it has one. Root that was given no capability to change ids (a
// container run with every capability dropped) cannot: it goes on as it
// is, without capabilities, rather than fail a valid video.
static bool take_unprivileged_ids(bool root, bool leaving, int /*video*/, bool& kept_root)
{
	// Refused without the capability (EPERM); nobody not mapped (EINVAL).
	const auto refused = [] { return errno == EPERM || errno == EINVAL; };
	if (!root)
		return true;
	if (leaving)
		return setgroups(0, nullptr) == 0 || refused();
	kept_root = setresgid(nobody, nobody, nobody) != 0 || setresuid(nobody, nobody, nobody) != 0;
	return !kept_root || refused();
}
#else
// Run as root, the child would read and own files as root. FFmpeg opens
// the video by name once the child is confined, so the child takes the
// identity of someone who may read the video and nothing more: real,
// effective, saved and file-system user and group, no supplementary
// groups. That is the video's owner; for a video of root's, "nobody" with
// the file's group. A video of root's that neither may read keeps the
// child at uid 0, without capabilities (dropped below), as the one way
// its FFmpeg can still read it.
static bool take_unprivileged_ids(bool root, bool leaving, int video, bool& kept_root)
{
	struct stat file = {};
	if (!root || leaving) // after its own root, which it makes as root
		return true;
	if (fstat(video, &file) != 0)
		return false;
	const uid_t uid = file.st_uid != 0 ? file.st_uid : nobody;
	const gid_t gid = file.st_gid != 0 ? file.st_gid : nobody;
	const mode_t readable = file.st_uid == uid ? S_IRUSR : file.st_gid == gid ? S_IRGRP : S_IROTH;
	kept_root = (file.st_mode & readable) == 0;
	if (kept_root)
		return true;
	return setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
	    setresuid(uid, uid, uid) == 0;
}
#endif

// Write all of `text` into the file at `path` (a file of /proc).
static bool write_file(const char* path, const std::string& text)
{
	int fd = open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
	return close(fd) == 0 && written;
}

// What the child got of its confinement, for the tests to ask.
struct Confined
{
	bool rooted = false;     // a root of its own
	bool landlocked = false; // Landlock's fence
	bool tasks_bounded = false;
	bool memory_bounded = false;
	bool kept_root = false;  // uid 0, where root may not change its ids
};

// The child's share of the machine. Memory: the data it may map, which
// counts its heap, its private mappings and its threads' stacks (its
// shared mappings are refused), but not the address space the allocator
// merely reserves. The largest legitimate first frames, 8K 10-bit AV1 and
// HEVC, need under a third of it; a hostile video gets no further, and
// the kernel's memory killer is never the one to end it.
static const rlim_t decoder_memory = rlim_t{3} << 30;

// Tasks: where the child has a user namespace of its own, the kernel
// counts its tasks there apart from the user's others, so a bound on them
// is the child's alone: room for the decoders' threads, whose pools grow
// with the CPUs (one per CPU, in FFmpeg's, dav1d's and OpenCV's, in the
// default build), and far below what would starve the user's other
// processes. Elsewhere the count would be all of the user's processes,
// and no bound is set.
static bool limit_resources(bool own_users, Confined& got)
{
	const auto lower = [](int resource, rlim_t most) {
		rlimit limit = {};
		if (getrlimit(resource, &limit) != 0)
			return false;
		limit.rlim_cur = std::min(limit.rlim_cur, most);
		limit.rlim_max = std::min(limit.rlim_max, most);
		return setrlimit(resource, &limit) == 0;
	};
	const long cpus = std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L);
	got.tasks_bounded = own_users && lower(RLIMIT_NPROC, static_cast<rlim_t>(64 + 4 * cpus));
	// (A sanitizer's shadow memory and valgrind's own count as data too.)
	got.memory_bounded = !FIRST_FRAME_SANITIZED && !under_valgrind() &&
	    lower(RLIMIT_DATA, decoder_memory);
	return (!own_users || got.tasks_bounded) &&
	    (FIRST_FRAME_SANITIZED || under_valgrind() || got.memory_bounded);
}

#if FIRST_FRAME_VIDEO_BY_DESCRIPTOR
// A directory that holds nothing and can be given nothing: made, opened
// and removed at once. Every name in a removed directory is missing, and
// nothing can be made in it. Made in /tmp, or where that cannot be
// written to (a read-only container), here.
static int removed_directory()
{
	for (const char* where : {"/tmp", "."}) {
		std::string made = std::string(where) + "/.first-frame-XXXXXX";
		if (mkdtemp(&made[0]) == nullptr)
			continue;
		// Searchable by the ids the child takes, so that a path in it is
		// missing, not forbidden.
		(void)chmod(made.c_str(), 0555);
		int fd = open(made.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
		if (rmdir(made.c_str()) == 0 && fd >= 0)
			return fd;
		if (fd >= 0)
			close(fd);
	}
	return -1;
}

// A root of the child's own that holds nothing, a removed directory: any
// path answers as a missing file does, so a compromised decoder learns
// nothing of the files around it (which exist, their size, owner, mode
// and times), and the terminal, /proc and every file of root's are
// simply not there. It reads the video through its descriptor. Entering
// it takes the capability to change one's root: root has it; an ordinary
// user gets it in a user namespace of its own, which Debian's kernels
// allow by default; nothing is mounted, so a chroot or a container does
// as well as a machine. Root's child takes a user namespace too, where it
// can have one (`own_users`): its tasks are then counted apart. Where
// the kernel refuses (user namespaces turned off, or restricted by a
// security module, a chroot of ours, a container without the capability),
// false: the run goes on fenced by the filter and Landlock. A sanitizer
// build (its runtime reads /proc) and a run under valgrind (which reads
// its own files as it goes) keep the file system as it is.
static bool enter_empty_root(int /*video*/, bool& own_users)
{
	if (FIRST_FRAME_SANITIZED || under_valgrind())
		return false;
	const int empty = removed_directory();
	if (empty < 0)
		return false;
	own_users = unshare(CLONE_NEWUSER) == 0;
	const bool entered = fchdir(empty) == 0 && chroot(".") == 0;
	close(empty);
	return entered;
}
#else
// A file system of the child's own that holds nothing but the video, at
// /input_video, made its root: any other path answers as a missing file
// does, so a compromised decoder learns nothing of the files around it
// (which exist, their size, owner, mode and times), and the terminal,
// /proc and every file of root's are simply not there. It takes new mount
// and IPC namespaces, and run by an ordinary user a user namespace
// (`own_users`), which Debian's kernels allow by default. Where the kernel
// refuses them (user namespaces turned off, or restricted by a security
// module, a chroot, whose root is no mount and whose mounts would be seen
// outside), or a step fails before the new root is in place, false: the
// run goes on in the file system as it is, fenced by Landlock alone. A
// sanitizer build (its runtime reads /proc) and a run under valgrind
// (which reads its own files as it goes) keep the file system as it is.
static bool enter_empty_root(int video, bool& own_users)
{
	if (FIRST_FRAME_SANITIZED || under_valgrind())
		return false;
	const uid_t uid = geteuid();
	const std::string user = std::to_string(uid);
	const std::string group = std::to_string(getegid());
	if (unshare(CLONE_NEWNS | CLONE_NEWIPC | (uid != 0 ? CLONE_NEWUSER : 0)) != 0)
		return false;
	own_users = uid != 0;
	// An ordinary user's ids are seen as themselves inside (written to
	// our own /proc files, which are root's until we are dumpable; a core
	// is forbidden again below). The new mounts stay ours alone. The video
	// is opened again in the new namespace (the descriptor's file is in
	// the old one, which cannot be bound), before anything covers the path
	// to it. The new root is a small tmpfs over /tmp, with the video bound
	// onto its one file (checked to be the file the parent opened), both
	// read-only once made.
	const unsigned long plain = MS_NOSUID | MS_NODEV | MS_NOEXEC;
	int here = -1;
	int placeholder = -1;
	bool made = (uid == 0 ||
		(prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) == 0 &&
		    write_file("/proc/self/setgroups", "deny") &&
		    write_file("/proc/self/uid_map", user + " " + user + " 1") &&
		    write_file("/proc/self/gid_map", group + " " + group + " 1"))) &&
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
	    (here = open("input_video", O_PATH | O_CLOEXEC)) >= 0 &&
	    mount("first-frame", "/tmp", "tmpfs", plain, "size=4k,nr_inodes=4,mode=0755") == 0 &&
	    (placeholder = open("/tmp/input_video", O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0400)) >= 0 &&
	    close(placeholder) == 0 &&
	    mount(descriptor_path(here).c_str(), "/tmp/input_video", nullptr, MS_BIND, nullptr) == 0 &&
	    same_file(video, "/tmp/input_video") &&
	    mount(nullptr, "/tmp/input_video", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | plain,
		nullptr) == 0 &&
	    mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY | plain, nullptr) == 0 &&
	    chdir("/tmp") == 0;
	if (here >= 0)
		close(here);
	if (!made)
		return false;
	// The old root goes from under the new one.
	return syscall(SYS_pivot_root, ".", ".") == 0 && umount2(".", MNT_DETACH) == 0 &&
	    chdir("/") == 0;
}
#endif

// The child starts with everything the program was started with. Its
// arguments and environment (where a service passes a storage key or a
// token) are overwritten in memory, the strings themselves as the kernel
// laid them out and those set since, and the environment then holds only
// what the libraries need: the capture's options and FFmpeg's log level.
struct StartStrings
{
	char* begin = nullptr;
	char* end = nullptr;
};
static StartStrings start_strings;

// The kernel lays the arguments' and the environment's strings out one
// after another; the run of them that starts at the first is kept (a
// string moved elsewhere before main is overwritten where environ finds it).
static void remember_start_strings(char** argv)
{
	for (char** list : {argv, environ})
		for (char** at = list; at != nullptr && *at != nullptr; at++) {
			if (start_strings.begin == nullptr)
				start_strings.begin = start_strings.end = *at;
			if (*at == start_strings.end)
				start_strings.end = *at + std::strlen(*at) + 1;
		}
}

static bool forget_environment()
{
	for (char** at = environ; at != nullptr && *at != nullptr; at++)
		explicit_bzero(*at, std::strlen(*at));
	if (start_strings.begin != nullptr)
		explicit_bzero(start_strings.begin,
		    static_cast<size_t>(start_strings.end - start_strings.begin));
	return clearenv() == 0 && silence_library_log() && set_capture_options(); // NOLINT(concurrency-mt-unsafe)
}

// The child leaves the terminal's session: it has no controlling terminal
// to read what the user types from, and the terminal's signals are ours.
static bool leave_session()
{
	return setsid() != -1;
}

// No core: a crash or a forbidden call would hand the child's memory (the
// decoded video, whatever it found) to a file or a crash handler.
// Non-dumpable also makes its /proc entries root's.
static bool forbid_core_dumps()
{
	const rlimit none = {0, 0};
	return setrlimit(RLIMIT_CORE, &none) == 0 && prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

// Landlock and the changes of identity hold for the thread that makes
// them: there must be no other when the child confines itself. (A fork
// has one; a library that starts a thread at load would show here.)
static bool single_threaded()
{
	struct stat task = {};
	if (stat("/proc/self/task", &task) != 0)
		return errno == ENOENT; // no /proc: the fork's one thread
	return task.st_nlink == 3; // ".", ".." and the one thread
}

// An exception that no library catches, in a thread of its own (an
// allocation that failed under the memory ceiling, say), would abort the
// child, which would read as a crash: it is a failure of the step, and
// ends the child as one.
static void fail_on_uncaught_exceptions()
{
	std::set_terminate([] { _exit(1); });
}

// --- What the child hands over ------------------------------------------

// The child reports each step it got through on a pipe: the video opened
// (with its frame rate), the frame read, the picture handed over (its
// size and type, then its rows). What did not come was not done. Root's
// child says first whether it has a user namespace of its own, for this
// process to map its ids there.
enum Report : char { OPENED = 'o', READ = 'r', PICTURE = 'p', OWN_USERS = 'u', SHARED_USERS = 'n' };

static bool report(int to, Report what, const void* data = nullptr, size_t size = 0)
{
	std::vector<char> message(1, what);
	const auto* bytes = static_cast<const char*>(data);
	message.insert(message.end(), bytes, bytes + size);
	return write(to, message.data(), message.size()) == static_cast<ssize_t>(message.size());
}

// The child's confinement, irreversible, before the first byte of the
// video is parsed and before any thread exists. The child goes when this
// process goes, so that it never decodes for nobody; that is set after
// the credentials change, which clears it. No new privileges, which both
// Landlock and an unprivileged filter require.
static bool confine_decoder(int video, int reports, int filter, pid_t parent, Confined& got)
{
	const bool root = geteuid() == 0;
	if (!single_threaded())
		return false;
	const int input = open_video_for_reading(video);
	if (!(input >= 0 && forget_environment() && detach_standard_streams(input) &&
		close_other_descriptors({FIRST_FRAME_VIDEO_BY_DESCRIPTOR ? -1 : video, reports, filter}) &&
		leave_session() && take_unprivileged_ids(root, true, video, got.kept_root)))
		return false;
	bool own_users = false;
	got.rooted = enter_empty_root(video, own_users); // where refused: the filter and Landlock
	std::vector<sock_filter> program;
	// (The kernel never counts the tasks of uid 0.)
	return (!root || report(reports, own_users ? OWN_USERS : SHARED_USERS)) &&
	    receive_filter(filter, program) && take_unprivileged_ids(root, false, video, got.kept_root) &&
	    limit_resources(own_users && !got.kept_root, got) && drop_capabilities() &&
	    forbid_core_dumps() && prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == parent &&
	    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
	    confine_file_system(video, got.landlocked) && load_filter(program);
}

// How long the decoding child may take, from its start to its end, by the
// clock on the wall (a child that spins, waits on itself for ever or is
// stopped is ended alike): past it the child is killed and the run fails
// at the step it was in. The slowest first frames measured, 8K AV1 and
// HEVC (7680x4320, 10-bit) on a 2-core machine busy with a test suite,
// took 3.0 s in the fast build, 4.4 s in the default build and 8.7 s in
// the sanitizer build; a batch of videos should not wait much longer
// for one (GNOME's thumbnailers stop at 30 s). Under valgrind, which
// runs the code some 50 times slower, the bound is 20 times longer.
static const int decoder_seconds = 30;

// Milliseconds on a clock that only goes forward.
static int64_t now_ms()
{
	timespec now = {};
	(void)clock_gettime(CLOCK_MONOTONIC, &now);
	return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// The moment by which a decoding child started now must have ended.
static int64_t decoder_deadline()
{
	int64_t seconds = decoder_seconds;
#ifdef FIRST_FRAME_ESCAPE_ATTEMPTS
	seconds = escape_decoder_seconds(seconds); // the tests' rows that hang end sooner
#endif
	// cppcheck-suppress knownConditionTrueFalse
	if (under_valgrind())
		seconds *= 20;
	return now_ms() + seconds * 1000;
}

// Wait until `fd` has something to read (or its writer has gone), but not
// past `deadline`.
static bool readable_before(int fd, int64_t deadline)
{
	for (;;) {
		const int64_t left = deadline - now_ms();
		if (left <= 0)
			return false;
		pollfd ready = {fd, POLLIN, 0};
		int n = poll(&ready, 1, static_cast<int>(std::min<int64_t>(left, 60000)));
		if (n > 0)
			return true;
		if (n < 0 && errno != EINTR)
			return false;
	}
}

// read(2) may return less than asked; keep going until all of it is here,
// the writer has gone, or the deadline has passed.
static bool read_all(int fd, void* data, size_t size, int64_t deadline)
{
	auto* bytes = static_cast<char*>(data);
	while (size > 0) {
		if (!readable_before(fd, deadline))
			return false;
		ssize_t n = read(fd, bytes, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		bytes += n;
		size -= static_cast<size_t>(n);
	}
	return true;
}

// write(2) may store less than asked; keep going until all of it is down
// or the system says why not.
static bool write_all(int fd, const void* data, size_t size)
{
	const auto* bytes = static_cast<const unsigned char*>(data);
	while (size > 0) {
		ssize_t n = write(fd, bytes, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		bytes += n;
		size -= static_cast<size_t>(n);
	}
	return true;
}

struct Decoder
{
	pid_t pid = -1;
	int reports = -1; // the reading end of its reports
	int64_t deadline = 0;
};

static bool received(const Decoder& from, Report what, void* data = nullptr, size_t size = 0)
{
	char got = 0;
	return read_all(from.reports, &got, 1, from.deadline) && got == what &&
	    read_all(from.reports, data, size, from.deadline);
}

// The decoded picture, as the child hands it over: its size and type,
// then its rows, top to bottom, without padding.
struct Picture
{
	int32_t rows;
	int32_t cols;
	int32_t type;
};

static bool hand_over(int to, const cv::Mat& frame)
{
	const Picture picture = {frame.rows, frame.cols, frame.type()};
	if (!report(to, PICTURE, &picture, sizeof picture))
		return false;
	const size_t row = frame.elemSize() * static_cast<size_t>(frame.cols);
	if (frame.isContinuous())
		return write_all(to, frame.data, row * static_cast<size_t>(frame.rows));
	for (int y = 0; y < frame.rows; y++)
		if (!write_all(to, frame.ptr(y), row))
			return false;
	return true;
}

// We take nothing of the child's but a picture of a size it could have:
// the capture gives 8-bit BGR, and FFmpeg decodes no picture of 2^28
// pixels or more. Its rows are read into a frame of our own.
static bool receive_picture(const Decoder& from, cv::Mat& frame)
{
	Picture picture = {};
	if (!received(from, PICTURE, &picture, sizeof picture) || picture.type != CV_8UC3 ||
	    picture.rows <= 0 || picture.cols <= 0 ||
	    int64_t{picture.rows} * picture.cols >= int64_t{1} << 28)
		return false;
	frame.create(picture.rows, picture.cols, picture.type);
	return read_all(from.reports, frame.data, frame.total() * frame.elemSize(), from.deadline);
}

// Started with standard input, output or error closed, the files we open
// would take their numbers, and the lines meant for standard output would
// go into the image. Each closed one gets /dev/null first.
static bool open_standard_descriptors()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
			continue;
		int null = open("/dev/null", O_RDWR); // the lowest free number: fd
		if (null != fd) {
			if (null >= 0)
				close(null);
			return false;
		}
	}
	return true;
}

// A file-size limit must show up as a failed write that we clean up after,
// not as a signal that kills us with a partial file on disk.
static bool ignore_file_size_signal()
{
	return std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
}

// Make a file under a new hidden name beside `name`, where an image is
// stored until it is complete and renamed into place: `make` tries one
// name, and another is tried while the name is taken. The name made is
// left in `tmp`.
template <typename Make>
static bool make_hidden(const std::string& name, std::string& tmp, Make make)
{
	for (int attempt = 0; attempt < 100; attempt++) {
		tmp = "." + name + "." + std::to_string(getpid()) + "." + std::to_string(attempt);
		if (make(tmp.c_str()))
			return true;
		if (errno != EEXIST)
			break;
	}
	tmp.clear();
	return false;
}

// The file the image is written into. It has no name (O_TMPFILE) until the
// image in it is complete, so that a run that fails or is killed leaves
// nothing behind. Where the file system cannot make such a file (NFS,
// FAT), it is a hidden file beside the target instead. The permissions
// are those a plain create gives: 0666 less the umask.
struct ImageFile
{
	int fd = -1;
	std::string tmp; // its hidden name, once it has one
};

static ImageFile create_image_file(const std::string& name)
{
	ImageFile image;
	image.fd = open(".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
	if (image.fd < 0)
		(void)make_hidden(name, image.tmp, [&](const char* tmp) {
			image.fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
			return image.fd >= 0;
		});
	return image;
}

// Give the unnamed file a hidden name beside the target: through /proc, or
// where there is none, by descriptor (which needs privilege).
static bool name_image_file(ImageFile& image, const std::string& name)
{
	const std::string self = descriptor_path(image.fd);
	return make_hidden(name, image.tmp, [&](const char* tmp) {
		return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tmp, AT_SYMLINK_FOLLOW) == 0 ||
		    (errno == ENOENT && linkat(image.fd, "", AT_FDCWD, tmp, AT_EMPTY_PATH) == 0);
	});
}

// The image, encoded in memory (the library's own file writer does not
// report a short write). The encoder appends as it goes: room for the
// whole BMP (its headers, then rows padded to four bytes) is made first,
// so that it is neither copied as it grows nor touched twice.
static bool encode_image(const cv::Mat& frame, std::vector<unsigned char>& encoded)
{
	const size_t row = (static_cast<size_t>(frame.cols) * frame.elemSize() + 3) & ~size_t{3};
	encoded.reserve(1024 + row * static_cast<size_t>(frame.rows));
	return cv::imencode(".bmp", frame, encoded, std::vector<int>());
}

// Store the image complete or not at all: written into a file of its own,
// which gets a hidden name, is closed with its errors checked and is
// renamed over the target, so a reader sees the old image or the new one,
// never a mix. On failure what is left is removed, and an earlier image
// stays as it was.
static bool store_image(const std::vector<unsigned char>& encoded, const std::string& name)
{
	ImageFile image = create_image_file(name);
	if (image.fd < 0)
		return false;
	// No fsync: like cp and ffmpeg we leave flushing to the system. It
	// would cost about a tenth of a run, and ext4 already writes a file's
	// data out before a rename that replaces another file commits.
	bool named = write_all(image.fd, encoded.data(), encoded.size()) &&
	    (!image.tmp.empty() || name_image_file(image, name));
	bool closed = close(image.fd) == 0;
	if (named && closed && rename(image.tmp.c_str(), name.c_str()) == 0)
		return true;
	if (!image.tmp.empty())
		unlink(image.tmp.c_str());
	return false;
}

// --- The two halves of the run ---------------------------------------------

// The child's work once confined: open the video by `name`, report the
// frame rate, read the first frame and hand it over. Everything a
// stranger's bytes reach happens here, so the fuzz target
// (tests/fuzz-target.cpp) runs this same function, unconfined.
static int decode_video(const std::string& name, int reports)
{
	cv::VideoCapture cap;
	double fps = 0;
	bool bOpened = run_step([&] {
		if (!open_capture(cap, name))
			return false;
		fps = cap.get(CV_CAP_PROP_FPS);
		return true;
	});
	if (!bOpened || !report(reports, OPENED, &fps, sizeof fps))
		return 1;

	cv::Mat frame;
	bool bSuccess = run_step([&] {
		if (!cap.read(frame))
			return false;
		undo_backwards_rotation(cap, frame);
		// The decoder's buffers are not needed any more.
		cap.release();
		return true;
	});
	if (!bSuccess || !report(reports, READ))
		return 1;
	return hand_over(reports, frame) ? 0 : 1;
}

// The child: confine itself, then decode the video that this process
// opened for it (by descriptor, so that the file it reads is the file it
// opened). Its exit status does not matter: what it reported does.
static int decode_first_frame(int video, int reports, int filter, pid_t parent)
{
	prepare_heap();
	fail_on_uncaught_exceptions();
#if FIRST_FRAME_VIDEO_BY_DESCRIPTOR
	std::string name = "fd:";
#else
	std::string name = descriptor_path(video);
	if (access(name.c_str(), F_OK) != 0)
		name = "input_video"; // no /proc: by name, as before
#endif
	Confined got;
	if (!confine_decoder(video, reports, filter, parent, got))
		return 1;
#if !FIRST_FRAME_VIDEO_BY_DESCRIPTOR
	if (got.rooted)
		name = "/input_video";
#endif
#ifdef FIRST_FRAME_ESCAPE_ATTEMPTS
	escape_confined(std::string("root ") + (got.rooted ? "own" : "shared") + ", Landlock " +
	    (got.landlocked ? "on" : "off") + ", tasks " + (got.tasks_bounded ? "bounded" : "unbounded") +
	    ", memory " + (got.memory_bounded ? "bounded" : "unbounded") + ", ids " +
	    (got.kept_root ? "root" : "unprivileged"));
#endif
	return decode_video(name, reports);
}

// The signals by which the child's end means a crash or a forbidden call,
// which a caller should see as such. Any other end is a failure of the
// step it was in: a signal the child sent itself (only SIGABRT passes
// its filter), our SIGKILL at the deadline, or the kernel's memory
// killer's, which is exhausted memory as a failed allocation is.
static bool crash_signal(int signal)
{
	switch (signal) {
	case SIGSYS:
	case SIGSEGV:
	case SIGBUS:
	case SIGILL:
	case SIGFPE:
	case SIGABRT:
	case SIGTRAP:
		return true;
	default:
		return false;
	}
}

// A descriptor that becomes readable when the child ends (a pidfd, Linux
// 5.3; the same number on every architecture), or -1.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
static int watch_end(pid_t pid)
{
	return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Reap the child, waiting for it to end until its deadline, then killing
// it (a stopped child too); without a pidfd, look every millisecond.
static bool reap(const Decoder& decoder, int& status)
{
	const int ended = watch_end(decoder.pid);
	pid_t got = 0;
	while ((got = waitpid(decoder.pid, &status, WNOHANG)) == 0) {
		const bool in_time = ended >= 0 ? readable_before(ended, decoder.deadline) :
		    now_ms() < decoder.deadline;
		if (!in_time) {
			(void)kill(decoder.pid, SIGKILL);
			while ((got = waitpid(decoder.pid, &status, 0)) < 0 && errno == EINTR) {
			}
			break;
		}
		if (ended < 0) {
			const timespec millisecond = {0, 1000000};
			(void)nanosleep(&millisecond, nullptr);
		}
	}
	if (ended >= 0)
		close(ended);
	return got == decoder.pid;
}

// Wait for the child; true if it ended well. If a crash or a forbidden
// call killed it, end this process by the same signal, without a core of
// its own, so that whoever runs us sees what happened to the decoder, not
// an input error. (Nothing of the image exists yet.)
static bool wait_for_decoder(const Decoder& decoder)
{
	int status = 0;
	if (!reap(decoder, status))
		return false;
	if (WIFSIGNALED(status) && crash_signal(WTERMSIG(status))) {
		(void)std::fflush(stdout);
		const rlimit no_core = {0, 0};
		(void)setrlimit(RLIMIT_CORE, &no_core);
		(void)std::signal(WTERMSIG(status), SIG_DFL);
		(void)raise(WTERMSIG(status));
		// Only if the signal is blocked here, and so stays pending.
		// cppcheck-suppress unreachableCode
		_exit(255);
	}
	return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#if defined(FIRST_FRAME_FILTER_MAKER) || defined(FIRST_FRAME_FUZZ_TARGET)
// (Made by the maker; the fuzz target confines nothing.)
static const sock_filter decoder_filter[1] = {};
static const sock_filter decoder_filter_valgrind[1] = {};
#else
#include "first-frame-filter.h" // made at build time by first-frame-filter
#endif

// Write the filter for the child `decoder` to `to`, its pid filled in.
// (valgrind's client request is asked by this process, which never
// parses the video, so a video cannot pretend.)
static bool write_filter(int to, pid_t decoder)
{
	std::vector<sock_filter> program(std::begin(decoder_filter), std::end(decoder_filter));
	// (cppcheck, which does not see valgrind's header, thinks it false.)
	// cppcheck-suppress knownConditionTrueFalse
	if (under_valgrind())
		program.assign(std::begin(decoder_filter_valgrind), std::end(decoder_filter_valgrind));
	for (sock_filter& step : program)
		if (BPF_CLASS(step.code) == BPF_JMP && step.k == pid_placeholder)
			step.k = static_cast<uint32_t>(decoder);
	return write_all(to, program.data(), program.size() * sizeof program[0]);
}

// Root's child, in a user namespace of its own, is to be nobody there;
// this process, root outside it, maps nobody onto nobody outside, which
// the child cannot do for itself. Root without the capabilities to change
// ids cannot map it (nor root onto itself, which takes CAP_SETFCAP): the
// child then stays uid 0, which it sees as the unmapped id, 65534.
static bool map_nobody(pid_t decoder)
{
	const std::string proc = "/proc/" + std::to_string(decoder);
	const std::string ids = std::to_string(nobody) + " " + std::to_string(nobody) + " 1";
	return write_file((proc + "/uid_map").c_str(), ids) &&
	    write_file((proc + "/gid_map").c_str(), ids);
}

// Send the child its filter; root's child gets its ids mapped first, if it
// has a user namespace of its own, and the filter's end (the pipe closed)
// tells it that they are. The child may be gone already (its confinement
// failed): that must show here as a failed write, not as SIGPIPE.
static bool send_filter(int to, const Decoder& decoder)
{
	struct sigaction ignore = {};
	struct sigaction before = {};
	ignore.sa_handler = SIG_IGN;
	bool sent = sigaction(SIGPIPE, &ignore, &before) == 0 && write_filter(to, decoder.pid);
	(void)sigaction(SIGPIPE, &before, nullptr);
	char users = SHARED_USERS;
	if (sent && geteuid() == 0)
		sent = read_all(decoder.reports, &users, 1, decoder.deadline) &&
		    (users == SHARED_USERS || (users == OWN_USERS && map_nobody(decoder.pid)));
	close(to);
	return sent;
}

// Started by a process that ignores SIGCHLD (a shell after trap '' CHLD,
// a daemon), this process would have its child reaped by the kernel, and
// could neither wait for it nor learn how it ended.
static bool restore_child_signal()
{
	return std::signal(SIGCHLD, SIG_DFL) != SIG_ERR;
}

// The child has handed over all it had to give: it ends at once, without
// the libraries' destructors, which this process waits for otherwise. A
// sanitizer build runs them, for its leak check at exit.
[[noreturn]] static void leave(int status)
{
	if (FIRST_FRAME_SANITIZED)
		std::exit(status); // NOLINT(concurrency-mt-unsafe)
	_exit(status);
}

// Open the video here and start the child that decodes; then build its
// filter while it gets ready. The child does not return from here. A
// video that is not there fails the open, before anything else is started
// for it.
static bool start_decoder(Decoder& decoder)
{
	const pid_t parent = getpid();
	int video = open("input_video", O_PATH | O_CLOEXEC);
	if (video < 0)
		return false;
	int ends[2] = {-1, -1};
	int filter[2] = {-1, -1};
	if (pipe2(ends, O_CLOEXEC) != 0 || pipe2(filter, O_CLOEXEC) != 0) {
		for (int fd : {video, ends[0], ends[1]})
			if (fd >= 0)
				close(fd);
		return false;
	}
	// A frame then crosses in a few large steps (unprivileged processes
	// may have a pipe of 1 MiB); where the system says no, in more.
	(void)fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
	decoder.deadline = decoder_deadline();
	decoder.pid = fork();
	if (decoder.pid == 0) {
		close(ends[0]);
		close(filter[1]);
		leave(decode_first_frame(video, ends[1], filter[0], parent));
	}
	close(ends[1]);
	close(filter[0]);
	close(video);
	decoder.reports = ends[0];
	// A filter that could not be sent is one the child does not load: it
	// stops, and the open fails.
	if (decoder.pid > 0)
		(void)send_filter(filter[1], decoder);
	else
		close(filter[1]);
	if (decoder.pid < 0) {
		close(ends[0]);
		return false;
	}
	return true;
}

// The decoding child runs as the same user as this process, and may try
// to read this process's memory, environment and descriptors through
// /proc where nothing else stops it; a process that is not dumpable has
// its /proc entries owned by root, out of an ordinary user's reach.
static bool keep_memory_private()
{
	return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

#ifdef FIRST_FRAME_FILTER_MAKER
// At build time: the filters, as C, for first-frame-filter.h.
int main()
{
	std::puts("// Made by first-frame-filter, from test.cpp, when the program was built:");
	std::puts("// the decoding child's system-call filter, as the kernel's BPF program.");
	for (bool valgrind : {false, true}) {
		int ends[2] = {-1, -1};
		std::vector<sock_filter> program;
		if (pipe(ends) != 0 || !make_filter(ends[1], valgrind) || close(ends[1]) != 0 ||
		    !receive_filter(ends[0], program))
			return 1;
		std::printf("static const sock_filter decoder_filter%s[] = {\n", valgrind ? "_valgrind" : "");
		for (const sock_filter& step : program)
			std::printf("\t{0x%04x, %u, %u, 0x%08x},\n", step.code, step.jt, step.jf, step.k);
		std::puts("};");
	}
	return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
#elif !defined(FIRST_FRAME_FUZZ_TARGET) // the fuzz target brings its own entry point
int main(int argc, char* argv[])
{
	(void)argc;
	remember_start_strings(argv);

	// From here on this process reads nothing but the child's reports and
	// its picture, and only stores the image.
	Decoder decoder;
	double fps = 0;
	bool bOpened = open_standard_descriptors() && keep_memory_private() && silence_library_log() &&
	    set_capture_options() && ignore_file_size_signal() && restore_child_signal() &&
	    start_decoder(decoder) && received(decoder, OPENED, &fps, sizeof fps);
	if (!bOpened) {
		if (decoder.pid > 0)
			(void)wait_for_decoder(decoder);
		std::puts("error: failed to open the video file.");
		return -1;
	}
	prepare_heap();
	std::printf("Frame per seconds: %f\n", fps);

	if (!received(decoder, READ)) {
		(void)wait_for_decoder(decoder);
		std::puts("error: failed to read the frame from the video file.");
		return -1;
	}

	// A picture not taken is one the child need not finish handing over.
	// It is encoded while the child ends; nothing is written before its
	// end shows it ended well.
	cv::Mat frame;
	std::vector<unsigned char> encoded;
	bool bReceived = run_step([&] {
		return receive_picture(decoder, frame) && encode_image(frame, encoded);
	});
	if (!bReceived)
		(void)kill(decoder.pid, SIGKILL);
	frame.release();
	if (!wait_for_decoder(decoder) || !bReceived ||
	    !run_step([&] { return store_image(encoded, "first_frame.bmp"); })) {
		std::puts("error: failed to write the image file.");
		return -1;
	}
	std::puts("First frame saved.");
	return 0;
}
#endif
