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
//   reboot        ask for a reboot with a wrong magic number (EPERM
//                 without the capability, EINVAL with it; nothing happens)
//   exec_memory   map new memory that is writable and executable
//   userfaultfd   open a kernel interface that decoding never uses
//   kernel_log    ask the size of the kernel's log, which is for
//                 administrators
//   abort         abort(), as a failed assertion in a library would: not an
//                 escape, a crash, which must be reported as one
//   invalid_read  read past the end of a heap block: not an escape, an
//                 error planted for valgrind to find
// It reports "NAME: trying" and then "NAME: done" or "NAME: denied ERRNO",
// and the run goes on. The reports go into FIRST_FRAME_ESCAPE_LOG, a file
// mapped into memory when the program starts: the confined child may open
// nothing and its standard error is /dev/null, but it can still write into
// a mapping it inherited.
//
// With FIRST_FRAME_ESCAPE_FILTER=off, first-frame-escapes loads no
// system-call filter, so that the tests can try what stands behind it.
#ifndef FIRST_FRAME_ESCAPE_H
#define FIRST_FRAME_ESCAPE_H

#include <arpa/inet.h>
#include <fcntl.h>
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
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static char* escape_log = nullptr;
static const size_t escape_log_size = 4096;

__attribute__((constructor)) static void escape_map_log()
{
	const char* path = std::getenv("FIRST_FRAME_ESCAPE_LOG"); // NOLINT(concurrency-mt-unsafe)
	if (path == nullptr)
		return;
	int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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
	const char* filter = std::getenv("FIRST_FRAME_ESCAPE_FILTER"); // NOLINT(concurrency-mt-unsafe)
	return filter != nullptr && std::strcmp(filter, "off") == 0;
}

static int escape_number(const char* variable)
{
	const char* value = std::getenv(variable); // NOLINT(concurrency-mt-unsafe)
	return value != nullptr ? std::atoi(value) : 0;
}

// The image's file: the one descriptor of a regular file without a name.
static int escape_image()
{
	for (int fd = 3; fd < 256; fd++) {
		struct stat file = {};
		if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_nlink == 0)
			return fd;
	}
	errno = EBADF;
	return -1;
}

static int escape_try(const std::string& what)
{
	const char* env_secret = std::getenv("FIRST_FRAME_ESCAPE_SECRET"); // NOLINT(concurrency-mt-unsafe)
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
	if (what == "invalid_read") {
		// The block's size comes from the run, so that neither the
		// compiler nor a static checker sees the read past its end:
		// finding it is valgrind's job here.
		const char* name = std::getenv("FIRST_FRAME_ESCAPE"); // NOLINT(concurrency-mt-unsafe)
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
	const char* what = std::getenv("FIRST_FRAME_ESCAPE"); // NOLINT(concurrency-mt-unsafe)
	if (what == nullptr)
		return;
	escape_report(std::string(what) + ": trying");
	errno = 0;
	int result = escape_try(what);
	int error = errno;
	escape_report(std::string(what) + (result < 0 ? ": denied " + std::to_string(error) : ": done"));
}

#endif
