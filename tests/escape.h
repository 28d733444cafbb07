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
//   namespace     make new user and mount namespaces
//   inherited     write to descriptor FIRST_FRAME_ESCAPE_INHERITED, a socket
//                 that whoever started the program left open
// It writes "escape: NAME: trying" and then "escape: NAME: done" or
// "escape: NAME: denied ERRNO" to standard error, and the run goes on.
#ifndef FIRST_FRAME_ESCAPE_H
#define FIRST_FRAME_ESCAPE_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static void escape_report(const std::string& line)
{
	std::string text = "escape: " + line + "\n";
	(void)!write(STDERR_FILENO, text.data(), text.size());
}

static int escape_number(const char* variable)
{
	const char* value = std::getenv(variable); // NOLINT(concurrency-mt-unsafe)
	return value != nullptr ? std::atoi(value) : 0;
}

static int escape_try(const std::string& what)
{
	const char* secret = std::getenv("FIRST_FRAME_ESCAPE_SECRET"); // NOLINT(concurrency-mt-unsafe)
	if (what == "read_secret")
		return open(secret != nullptr ? secret : "/etc/shadow", O_RDONLY | O_CLOEXEC);
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
		return kill(escape_number("FIRST_FRAME_ESCAPE_PID"), SIGTERM);
	if (what == "ptrace")
		return static_cast<int>(ptrace(PTRACE_ATTACH, escape_number("FIRST_FRAME_ESCAPE_PID"),
		    nullptr, nullptr));
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
