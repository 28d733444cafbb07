// What a compromised decoder would try first, for the tests of the
// decoding child's confinement. Never in a shipped binary: it is compiled
// into the test-only first-frame-escapes (called right after the child
// confines itself) and into tests/escape-preload.cpp (called from inside
// FFmpeg's first decode call, for the default build).
//
// One attempt a run, named by FIRST_FRAME_ESCAPE:
//   read_secret   open FIRST_FRAME_ESCAPE_SECRET, a file outside the directory
//   read_sibling  open "sibling" in the working directory
//   write_parent  create "../escaped"
//   truncate      empty "sibling", by path
//   connect       a TCP connection to 127.0.0.1, port FIRST_FRAME_ESCAPE_PORT
//   exec          run /bin/true
//   signal        send SIGTERM to process FIRST_FRAME_ESCAPE_PID
//   ptrace        attach to process FIRST_FRAME_ESCAPE_PID
//   priority      lower the priority of process FIRST_FRAME_ESCAPE_PID
//   namespace     make new user and mount namespaces
//   inherited     write to descriptor FIRST_FRAME_ESCAPE_INHERITED, a socket
//                 that whoever started the program left open
//   chmod_inside, chown_inside, times_inside, xattr_inside
//                 change the mode, owner, times or extended attributes of
//                 "sibling"
//   chmod_outside, chown_outside, times_outside, xattr_outside
//                 the same of the secret, each through another call
//   image_mode    make the image's file set-user-ID and world-writable
//   forged_image  make the image's file hold a BMP of its own that tells
//                 a reader to parse what follows as PNG, a PDF inside
//                 (grown, then mapped shared and written), then report all
//                 three steps done and leave, as 0.11.0's child could
//   caller_environment
//                 look for the secret in the environment of another
//                 process of the same user, FIRST_FRAME_ESCAPE_PID,
//                 through /proc
//   cpu_clock     read the CPU time of process FIRST_FRAME_ESCAPE_PID
//   affinity      ask which CPUs process FIRST_FRAME_ESCAPE_PID may use
//   huge_pages    map memory from the huge-page pool the machine shares
//   memory        map and touch 256 MiB after 256 MiB, up to 6 GiB, and
//                 keep it all
//   threads       start up to 1,000 threads, then let them go
//   reboot        ask for a reboot with a wrong magic number (EPERM
//                 without the capability, EINVAL with it; nothing happens)
//   exec_memory   map new memory that is writable and executable
//   userfaultfd   open a kernel interface that decoding never uses
//   kernel_log    ask the size of the kernel's log, which is for
//                 administrators
//   environment   look for a secret ("first-frame-secret-...") in what the
//                 program was started with: environ, the strings at the
//                 top of the stack, the heap ("done" if found, ENOENT if
//                 not)
//   stat_outside  learn the secret's metadata, or whether it exists, by
//                 comparing it with a path beside it that does not exist
//                 ("done" if either answers or they answer apart)
//   terminal      open the controlling terminal, to read what is typed
//   parent_memory open the program's environment through /proc
//   ids           run as root: "done" if any user or group id is 0
//   core_limit    "done" if a crash may leave a core file
//   abort         abort(), as a failed assertion in a library would: not an
//                 escape, a crash, which must be reported as one
//   spin          loop for ever without a system call
//   wait          wait for ever on a futex nobody wakes
//   stop          stop itself with SIGSTOP
//   terminate     end itself with SIGTERM, which a supervisor would read
//                 as "stopped from outside"
//   write_far     write one byte a terabyte into the image's file
//   invalid_read  read past the end of a heap block: not an escape, an
//                 error planted for valgrind to find
//   open_decoders not an escape either: open every decoder of the FFmpeg
//                 linked in as the capture opens one (two slice threads),
//                 start every parser, and read the header of the video
//                 with every format on the program's list, so that a call
//                 the filter does not allow, made only by a decoder or
//                 format no video of the tests reaches, kills the run
//                 here; reports "decoder NAME", "parser N" and "format
//                 NAME" as it goes (so a kill names the one that made it)
//                 and the counts at the end
// It reports "NAME: trying" and then "NAME: done" or "NAME: denied ERRNO",
// and the run goes on. Before it, the program reports what its child got
// ("confined: root own|shared, Landlock on|off, tasks bounded|unbounded,
// memory bounded|unbounded, ids unprivileged|root"),
// so that the tests judge each attempt by what stood in its way. Where
// the attempt is made from inside FFmpeg (tests/escape-preload.cpp, in
// the default build), the program only reports. The child starts with no environment of its own,
// so the settings are read when the program starts, in its parent. The
// reports go into FIRST_FRAME_ESCAPE_LOG, a file
// mapped into memory when the program starts: the confined child may open
// nothing and its standard error is /dev/null, but it can still write into
// a mapping it inherited.
//
// With FIRST_FRAME_ESCAPE_FILTER=off, first-frame-escapes loads no
// system-call filter, so that the tests can try what stands behind it;
// with FIRST_FRAME_ESCAPE_SECONDS=N its decoding child has N seconds,
// not the program's bound, so that the rows that hang end soon.
#ifndef FIRST_FRAME_ESCAPE_H
#define FIRST_FRAME_ESCAPE_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/reboot.h>
#include <linux/userfaultfd.h>
#include <sched.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/auxv.h>
#include <pthread.h>
#include <sched.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

static char* escape_log = nullptr;
static const size_t escape_log_size = 1 << 16;
// FIRST_FRAME_ESCAPE* as the program was started with them; where its
// heap began, and its pid.
static std::map<std::string, std::string>& escape_settings()
{
	static std::map<std::string, std::string> settings;
	return settings;
}
static uintptr_t escape_heap_start = 0;
static pid_t escape_program = 0;

static const char* escape_setting(const char* name)
{
	const auto found = escape_settings().find(name);
	return found == escape_settings().end() ? nullptr : found->second.c_str();
}

__attribute__((constructor)) static void escape_start()
{
	for (char** at = environ; *at != nullptr; at++) {
		// Only our settings are copied: a copy of any other entry, freed,
		// would leave the caller's secret in the heap for the environment
		// attempt to find, a find of our own making.
		if (std::strncmp(*at, "FIRST_FRAME_ESCAPE", 18) != 0)
			continue;
		const std::string entry = *at;
		const size_t equals = entry.find('=');
		if (equals != std::string::npos)
			escape_settings()[entry.substr(0, equals)] = entry.substr(equals + 1);
	}
	escape_program = getpid();
	// /proc/self/stat's 47th field: where the heap starts.
	std::ifstream self("/proc/self/stat");
	std::string field;
	std::getline(self, field, ')');
	for (int i = 3; i <= 47 && self >> field; i++) {
	}
	escape_heap_start = std::strtoull(field.c_str(), nullptr, 10);
	const char* log_path = escape_setting("FIRST_FRAME_ESCAPE_LOG");
	if (log_path == nullptr)
		return;
	int fd = open(log_path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
	if (fd < 0)
		return;
	if (ftruncate(fd, escape_log_size) == 0) {
		void* log = mmap(nullptr, escape_log_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
		if (log != MAP_FAILED)
			escape_log = static_cast<char*>(log);
	}
	close(fd);
}


static void escape_report(const std::string& line)
{
	if (escape_log == nullptr)
		return;
	const size_t used = strnlen(escape_log, escape_log_size);
	const std::string text = line + "\n";
	if (used + text.size() < escape_log_size)
		std::memcpy(escape_log + used, text.data(), text.size());
}

[[maybe_unused]] static bool escape_without_filter()
{
	const char* filter = escape_setting("FIRST_FRAME_ESCAPE_FILTER");
	return filter != nullptr && std::strcmp(filter, "off") == 0;
}

static int escape_number(const char* variable)
{
	const char* value = escape_setting(variable);
	return value != nullptr ? std::atoi(value) : 0;
}

[[maybe_unused]] static int64_t escape_decoder_seconds(int64_t seconds)
{
	const int shorter = escape_number("FIRST_FRAME_ESCAPE_SECONDS");
	return shorter > 0 ? shorter : seconds;
}

// The child's one descriptor of a regular file with a name (the video)
// or without one (the image's file, which 0.11.0's child had).
static int escape_regular_file(bool named)
{
	for (int fd = 0; fd < 256; fd++) {
		struct stat file = {};
		if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && (file.st_nlink > 0) == named)
			return fd;
	}
	errno = EBADF;
	return -1;
}

static int escape_image()
{
	return escape_regular_file(false);
}

// The child's reports to the program: the one pipe it writes to, past
// its standard streams.
static int escape_reports()
{
	for (int fd = 3; fd < 256; fd++) {
		struct stat pipe = {};
		if (fstat(fd, &pipe) == 0 && S_ISFIFO(pipe.st_mode) &&
		    (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY)
			return fd;
	}
	errno = EBADF;
	return -1;
}

// FFmpeg's calls, declared weak here so that the same code serves the
// fast build (FFmpeg linked in) and the preloaded library of the default
// build (the system's, found when it is loaded). Only the leading fields
// of AVCodec and AVCodecParser, which FFmpeg keeps stable, are read.
extern "C" {
struct AVCodecContext;
struct AVFormatContext;
struct AVInputFormat;
struct AVCodecParserContext;
struct AVCodecHead
{
	const char* name;
	const char* long_name;
	int type;
	int id;
	int capabilities;
};
struct AVCodecParserHead
{
	int codec_ids[7];
};
__attribute__((weak)) const AVCodecHead* av_codec_iterate(void** opaque);
__attribute__((weak)) AVCodecContext* avcodec_alloc_context3(const AVCodecHead* codec);
__attribute__((weak)) int avcodec_open2(AVCodecContext* context, const AVCodecHead* codec, void** options);
__attribute__((weak)) void avcodec_free_context(AVCodecContext** context);
__attribute__((weak)) int av_codec_is_decoder(const AVCodecHead* codec);
__attribute__((weak)) int av_opt_set(void* object, const char* name, const char* value, int flags);
__attribute__((weak)) const AVCodecParserHead* av_parser_iterate(void** opaque);
__attribute__((weak)) AVCodecParserContext* av_parser_init(int codec_id);
__attribute__((weak)) void av_parser_close(AVCodecParserContext* parser);
__attribute__((weak)) const AVInputFormat* av_find_input_format(const char* name);
__attribute__((weak)) int avformat_open_input(AVFormatContext** context, const char* url,
    const AVInputFormat* format, void** options);
__attribute__((weak)) int avformat_find_stream_info(AVFormatContext* context, void** options);
__attribute__((weak)) void avformat_close_input(AVFormatContext** context);
__attribute__((weak)) void av_log_set_level(int level);
}

// The video, as the program opens it: through its descriptor, as
// standard input; in the child's own root; or by the path through which
// its descriptor can be opened again.
static std::string escape_video_path()
{
	const int video = escape_regular_file(true);
	struct stat rooted = {};
	if (video == 0)
		return "fd:";
	if (stat("/input_video", &rooted) == 0)
		return "/input_video";
	return video < 0 ? "input_video" : "/proc/self/fd/" + std::to_string(video);
}

static int escape_open_decoders()
{
	const int hardware = 1 << 18; // AV_CODEC_CAP_HARDWARE: a device's, not ours
	if (av_codec_iterate == nullptr || av_find_input_format == nullptr ||
	    av_parser_iterate == nullptr) {
		errno = ENOSYS;
		return -1;
	}
	// As the capture sets it before it opens anything (the fast build
	// tries this first thing, before the capture).
	if (av_log_set_level != nullptr)
		av_log_set_level(-8);
	int decoders = 0, parsers = 0, formats = 0, headers = 0;
	void* at = nullptr;
	while (const AVCodecHead* codec = av_codec_iterate(&at)) {
		if (!av_codec_is_decoder(codec) || (codec->capabilities & hardware) != 0)
			continue;
		escape_report(std::string("decoder ") + codec->name);
		AVCodecContext* context = avcodec_alloc_context3(codec);
		if (context == nullptr)
			continue;
		(void)av_opt_set(context, "threads", "2", 0);
		(void)av_opt_set(context, "thread_type", "slice", 0);
		if (avcodec_open2(context, codec, nullptr) >= 0)
			decoders++;
		avcodec_free_context(&context);
	}
	at = nullptr;
	while (const AVCodecParserHead* parser = av_parser_iterate(&at)) {
		escape_report("parser " + std::to_string(parser->codec_ids[0]));
		if (AVCodecParserContext* started = av_parser_init(parser->codec_ids[0])) {
			parsers++;
			av_parser_close(started);
		}
	}
	// The program's own list, as it handed it to the capture.
	const char* options = std::getenv("OPENCV_FFMPEG_CAPTURE_OPTIONS"); // NOLINT(concurrency-mt-unsafe)
	std::string list = options != nullptr ? options : "";
	const std::string key = "format_whitelist;";
	list = list.find(key) == std::string::npos ? "" : list.substr(list.find(key) + key.size());
	list.resize(std::min(list.find('|'), list.size()));
	list += ",";
	const std::string video = escape_video_path();
	for (size_t from = 0, comma; (comma = list.find(',', from)) != std::string::npos; from = comma + 1) {
		const std::string name = list.substr(from, comma - from);
		const AVInputFormat* format = name.empty() ? nullptr : av_find_input_format(name.c_str());
		if (format == nullptr)
			continue;
		escape_report("format " + name);
		formats++;
		AVFormatContext* context = nullptr;
		const int opened = avformat_open_input(&context, video.c_str(), format, nullptr);
		if (opened >= 0 && avformat_find_stream_info(context, nullptr) >= 0)
			headers++;
		if (opened >= 0)
			avformat_close_input(&context);
		// Each read through the descriptor moves its offset: the next
		// starts from the top again, as the capture will.
		(void)lseek(0, 0, SEEK_SET);
	}
	escape_report("opened " + std::to_string(decoders) + " decoders, " +
	    std::to_string(parsers) + " parsers; " + std::to_string(formats) + " formats tried, " +
	    std::to_string(headers) + " read");
	return 0;
}

// A secret of the test's, where a compromised decoder would look for
// one: environ, the arguments' and environment's strings at the top of
// the stack (from argv[0] up to the program's file name, which the kernel
// puts after them), and the heap. What it finds goes into the image.
static int escape_find_secret()
{
	static const char marker[] = "first-frame-secret-";
	const auto search = [](const char* from, const char* to) -> const char* {
		const void* found = from < to ? memmem(from, static_cast<size_t>(to - from), marker,
		    sizeof marker - 1) : nullptr;
		return static_cast<const char*>(found);
	};
	const char* found = nullptr;
	for (char** at = environ; found == nullptr && at != nullptr && *at != nullptr; at++)
		found = search(*at, *at + std::strlen(*at));
	const auto* top = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
	const char* strings = program_invocation_name;
	if (found == nullptr && strings < top && top - strings < (1 << 20))
		found = search(strings, top);
	const auto* heap = reinterpret_cast<const char*>(escape_heap_start);
	const auto* heap_end = static_cast<const char*>(sbrk(0));
	if (found == nullptr && heap != nullptr)
		found = search(heap, heap_end);
	if (found == nullptr) {
		errno = ENOENT;
		return -1;
	}
	return 0;
}

// 0.11.0's child wrote the encoded image into a file of the program's: a
// child that owns such a descriptor makes it hold a BMP of its own,
// whose header (BITMAPV5, compression BI_PNG) sends a reader to the bytes
// after it, a PDF's marker among them, and the sizes and offsets agree.
// Then it reports the three steps, opened, read, written, as that
// program wanted them, and leaves.
static int escape_forge_image()
{
	const int image = escape_image();
	bool forged = false;
	if (image >= 0) {
		static const unsigned char tail[4094] = {};
		void* mapped = write(image, tail, sizeof tail) == sizeof tail ?
		    mmap(nullptr, sizeof tail, PROT_READ | PROT_WRITE, MAP_SHARED, image, 0) : MAP_FAILED;
		if (mapped != MAP_FAILED) {
			auto* bmp = static_cast<unsigned char*>(mapped);
			const auto put = [&](size_t at, uint32_t value, size_t bytes) {
				for (size_t i = 0; i < bytes; i++)
					bmp[at + i] = static_cast<unsigned char>(value >> (8 * i));
			};
			bmp[0] = 'B';
			bmp[1] = 'M';
			put(2, sizeof tail, 4);
			put(10, 138, 4);  // pixels after the 124-byte V5 header
			put(14, 124, 4);
			put(18, 1, 4);    // 1 pixel wide, 989 rows of 4 bytes
			put(22, 989, 4);
			put(26, 1, 2);
			put(28, 32, 2);
			put(30, 5, 4);    // BI_PNG
			std::memcpy(bmp + 138, "%PDF-1.4", 8);
			forged = munmap(mapped, sizeof tail) == 0;
		}
	}
	escape_report(forged ? "forged_image: done" : "forged_image: denied " + std::to_string(EBADF));
	const int reports = escape_reports();
	const double fps = 25;
	char opened[1 + sizeof fps] = {'o'};
	std::memcpy(opened + 1, &fps, sizeof fps);
	(void)!write(reports, opened, sizeof opened);
	(void)!write(reports, "r", 1);
	(void)!write(reports, "w", 1);
	_exit(0);
}

// The secret in another process's environment, read through /proc.
static int escape_read_environment(pid_t pid)
{
	const int fd = open(("/proc/" + std::to_string(pid) + "/environ").c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	std::string environment(1 << 16, '\0');
	const ssize_t n = read(fd, &environment[0], environment.size());
	close(fd);
	if (n < 0)
		return -1;
	environment.resize(static_cast<size_t>(n));
	errno = ENOENT;
	return environment.find("first-frame-secret-") == std::string::npos ? -1 : 0;
}

// Memory, 256 MiB at a time, each touched, and kept.
static int escape_take_memory()
{
	const size_t chunk = size_t{256} << 20;
	for (int i = 0; i < 24; i++) {
		void* taken = mmap(nullptr, chunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
		    -1, 0);
		if (taken == MAP_FAILED)
			return -1;
		*static_cast<volatile char*>(taken) = 1;
	}
	return 0;
}

// Threads that wait until they are let go, with small stacks, so that
// the count of tasks is what stops them and not memory.
static int escape_released = 0;
static void* escape_hold(void*)
{
	while (__atomic_load_n(&escape_released, __ATOMIC_ACQUIRE) == 0)
		syscall(SYS_futex, &escape_released, FUTEX_WAIT_PRIVATE, 0, nullptr);
	return nullptr;
}

static int escape_start_threads()
{
	std::vector<pthread_t> held;
	pthread_attr_t small = {};
	int error = pthread_attr_init(&small);
	if (error == 0)
		error = pthread_attr_setstacksize(&small, size_t{64} << 10);
	while (error == 0 && held.size() < 1000) {
		pthread_t thread = {};
		error = pthread_create(&thread, &small, escape_hold, nullptr);
		if (error == 0)
			held.push_back(thread);
	}
	escape_report("threads started: " + std::to_string(held.size()));
	__atomic_store_n(&escape_released, 1, __ATOMIC_RELEASE);
	syscall(SYS_futex, &escape_released, FUTEX_WAKE_PRIVATE, 1 << 30, nullptr);
	for (pthread_t thread : held)
		pthread_join(thread, nullptr);
	errno = error;
	return error == 0 ? 0 : -1;
}

static int escape_try(const std::string& what)
{
	const char* env_secret = escape_setting("FIRST_FRAME_ESCAPE_SECRET");
	const char* secret = env_secret != nullptr ? env_secret : "/etc/shadow";
	const pid_t other = escape_number("FIRST_FRAME_ESCAPE_PID");
	const struct timespec epoch[2] = {};
	const struct timeval epoch_tv[2] = {};
	if (what == "read_secret")
		return open(secret, O_RDONLY | O_CLOEXEC);
	if (what == "read_sibling")
		return open("sibling", O_RDONLY | O_CLOEXEC);
	if (what == "write_parent")
		return open("../escaped", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
	if (what == "truncate")
		return truncate("sibling", 0);
	if (what == "connect") {
		int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		if (s < 0)
			return s;
		sockaddr_in to = {};
		to.sin_family = AF_INET;
		to.sin_port = htons(static_cast<uint16_t>(escape_number("FIRST_FRAME_ESCAPE_PORT")));
		to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		return connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
	}
	if (what == "namespace")
		return unshare(CLONE_NEWUSER | CLONE_NEWNS);
	if (what == "inherited")
		return static_cast<int>(write(escape_number("FIRST_FRAME_ESCAPE_INHERITED"), "x", 1));
	if (what == "exec")
		return execl("/bin/true", "true", static_cast<char*>(nullptr));
	if (what == "signal")
		return kill(other, SIGTERM);
	if (what == "ptrace")
		return static_cast<int>(ptrace(PTRACE_ATTACH, other, nullptr, nullptr));
	if (what == "priority")
		return setpriority(PRIO_PROCESS, static_cast<id_t>(other), 19);
	if (what == "chmod_inside")
		return chmod("sibling", 0777);
	if (what == "chmod_outside")
		return fchmodat(AT_FDCWD, secret, 0777, 0);
	if (what == "chown_inside")
		return chown("sibling", 65534, 65534);
	if (what == "chown_outside")
		return lchown(secret, 65534, 65534);
	if (what == "times_inside")
		return utimensat(AT_FDCWD, "sibling", epoch, 0);
	if (what == "times_outside")
		return utimes(secret, epoch_tv);
	if (what == "xattr_inside")
		return setxattr("sibling", "user.escape", "x", 1, 0);
	if (what == "xattr_outside")
		return lsetxattr(secret, "user.escape", "x", 1, 0);
	if (what == "image_mode") {
		int image = escape_image();
		return image < 0 ? image : fchmod(image, 06777);
	}
	if (what == "reboot")
		return static_cast<int>(syscall(SYS_reboot, LINUX_REBOOT_MAGIC1, 0,
		    LINUX_REBOOT_CMD_CAD_OFF, nullptr));
	if (what == "exec_memory") {
		const void* code = mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
		    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		return code == MAP_FAILED ? -1 : 0;
	}
	if (what == "abort")
		std::abort();
	if (what == "userfaultfd")
		return static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC | UFFD_USER_MODE_ONLY));
	if (what == "kernel_log")
		return static_cast<int>(syscall(SYS_syslog, 10, nullptr, 0));
	if (what == "spin")
		for (volatile unsigned long turns = 0;; turns = turns + 1) {
		}
	if (what == "wait") {
		static uint32_t never = 0;
		return static_cast<int>(syscall(SYS_futex, &never, FUTEX_WAIT_PRIVATE, 0, nullptr));
	}
	if (what == "stop")
		return raise(SIGSTOP);
	if (what == "terminate")
		return raise(SIGTERM);
	if (what == "write_far") {
		int image = escape_image();
		if (image < 0 || lseek(image, off_t{1} << 40, SEEK_SET) < 0)
			return -1;
		return static_cast<int>(write(image, "x", 1));
	}
	if (what == "open_decoders")
		return escape_open_decoders();
	if (what == "environment")
		return escape_find_secret();
	if (what == "stat_outside") {
		struct stat there = {};
		struct stat absent = {};
		const int present = stat(secret, &there) == 0 ? 0 : errno;
		const int missing = stat((std::string(secret) + ".absent").c_str(), &absent) == 0 ? 0 : errno;
		errno = present;
		return present == 0 || present != missing ? 0 : -1;
	}
	if (what == "forged_image")
		return escape_forge_image();
	if (what == "caller_environment")
		return escape_read_environment(other);
	if (what == "cpu_clock") {
		// The CPU clock of a process: its pid, inverted, shifted, and
		// CPUCLOCK_SCHED.
		timespec time = {};
		const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(other) << 3) | 2);
		return static_cast<int>(syscall(SYS_clock_gettime, clock, &time));
	}
	if (what == "affinity") {
		cpu_set_t cpus;
		return sched_getaffinity(other, sizeof cpus, &cpus);
	}
	if (what == "huge_pages") {
		const void* huge = mmap(nullptr, size_t{2} << 20, PROT_READ | PROT_WRITE,
		    MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB, -1, 0);
		return huge == MAP_FAILED ? -1 : 0;
	}
	if (what == "memory")
		return escape_take_memory();
	if (what == "threads")
		return escape_start_threads();
	if (what == "terminal")
		return open("/dev/tty", O_RDONLY | O_CLOEXEC);
	if (what == "parent_memory")
		return open(("/proc/" + std::to_string(escape_program) + "/environ").c_str(),
		    O_RDONLY | O_CLOEXEC);
	if (what == "ids") {
		errno = EPERM;
		return getuid() == 0 || geteuid() == 0 || getgid() == 0 || getegid() == 0 ? 0 : -1;
	}
	if (what == "core_limit") {
		rlimit core = {};
		if (getrlimit(RLIMIT_CORE, &core) != 0)
			return -1;
		errno = EPERM;
		return core.rlim_cur > 0 ? 0 : -1;
	}
	if (what == "invalid_read") {
		// The block's size comes from the run, so that neither the
		// compiler nor a static checker sees the read past its end:
		// finding it is valgrind's job here.
		const char* name = escape_setting("FIRST_FRAME_ESCAPE");
		const size_t end = name != nullptr ? std::strlen(name) : 1;
		auto* block = static_cast<volatile char*>(std::calloc(end, 1)); // NOLINT(cppcoreguidelines-no-malloc)
		int past = block[end];
		std::free(const_cast<char*>(block)); // NOLINT(cppcoreguidelines-no-malloc)
		return past * 0;
	}
	errno = EINVAL;
	return -1;
}

static void attempt_escape()
{
	const char* what = escape_setting("FIRST_FRAME_ESCAPE");
	if (what == nullptr)
		return;
	escape_report(std::string(what) + ": trying");
	errno = 0;
	int result = escape_try(what);
	int error = errno;
	escape_report(std::string(what) + (result < 0 ? ": denied " + std::to_string(error) : ": done"));
}

// Defined by tests/escape-preload.cpp, which makes the attempt from inside
// FFmpeg's first decode call.
extern "C" __attribute__((weak)) const int first_frame_escape_from_decoder;

// The program's child, once confined: what it got, then the attempt,
// unless the preloaded library makes it.
[[maybe_unused]] static void escape_confined(const std::string& got)
{
	escape_report("confined: " + got);
	// (Weak: null unless the preloaded library defines it.)
	// cppcheck-suppress knownConditionTrueFalse
	if (&first_frame_escape_from_decoder == nullptr)
		attempt_escape();
}

#endif
