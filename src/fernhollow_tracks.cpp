// fernhollow_tracks: prompt for video links and hand each one to yt-dlp,
// which stores the audio stream (format 251) in ./fernhollow_tracks/.
//
// Every link reaches yt-dlp as one argument, byte for byte: the command
// processor must never read any part of it as syntax.  A link that cannot
// be passed so is refused with a message and nothing runs for it.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <cerrno>
#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
extern char **environ;
#endif

// The folder separator, and the quote around the link: cmd.exe knows only
// double quotes; sh reads nothing but the closing quote between single ones.
#ifdef _WIN32
#define SEP "\\"
#define QUOTE "\""
#else
#define SEP "/"
#define QUOTE "'"
#endif

// The longest link that is taken, as a number and as the width of the read.
#define LINK_MAX 934
#define LINK_FIELD " %n%934s%n"

static char stringcin[LINK_MAX + 1];
// The 67 characters before the link, the link with every byte grown to at
// most four (a ' is written as '\''), the closing quote and the zero.
static char instruction[67 + 4 * LINK_MAX + 2];
static const char *url = "yt-dlp --output \"." SEP "fernhollow_tracks" SEP
                         "%(title)s.%(ext)s\" -f 251 -- " QUOTE;
static const char *url_end = QUOTE;

#ifdef _WIN32
// cmd.exe expands %NAME% even between double quotes when NAME is set in
// the environment or is one of its own dynamic names; the :~ and := forms
// name the variable before the colon.  Every pair of neighbouring percent
// signs is checked, so the answer does not depend on where cmd.exe starts
// pairing them.  Percent-encoded octets such as %20 and %3D%3D pass.
static const char *cmd_names[] = {
    "CD", "DATE", "TIME", "RANDOM", "ERRORLEVEL", "CMDEXTVERSION",
    "CMDCMDLINE", "HIGHESTNUMANODENUMBER", "__CD__", "__APPDIR__",
};
static char varname[LINK_MAX + 1];

static const char *expanded_reference(const char *link)
{
	for (const char *p = strchr(link, '%'); p; p = strchr(p + 1, '%')) {
		if (!strchr(p + 1, '%'))
			break;
		size_t n = strcspn(p + 1, "%:");
		if (n == 0)
			continue;
		memcpy(varname, p + 1, n);
		varname[n] = '\0';
		bool known = varname[0] == '=' || getenv(varname) != NULL;
		for (const char *name : cmd_names)
			known = known || _stricmp(varname, name) == 0;
		if (known)
			return p;
	}
	return NULL;
}
#endif

// Say why a link of len bytes cannot reach yt-dlp intact, if it cannot.
static bool refused(const char *link, size_t len)
{
	if (strlen(link) != len) {
		fputs("fernhollow_tracks: link refused: it holds a zero byte\n", stderr);
		return true;
	}
#ifdef _WIN32
	if (strchr(link, '"')) {
		fputs("fernhollow_tracks: link refused: it holds a double quote\n", stderr);
		return true;
	}
	if (const char *ref = expanded_reference(link)) {
		int n = (int)(strchr(ref + 1, '%') - ref + 1);
		fprintf(stderr, "fernhollow_tracks: link refused: cmd.exe would expand %.*s\n", n, ref);
		return true;
	}
#endif
	return false;
}

// Append the link so that the command processor passes every byte on.
static void append_link(const char *link)
{
	char *out = instruction + strlen(instruction);
#ifdef _WIN32
	// No double quote gets this far; backslashes are literal to the C
	// runtime's argument split unless they run up to a double quote, so
	// a trailing run is doubled to keep the closing quote.
	size_t len = strlen(link);
	size_t tail = len;
	while (tail > 0 && link[tail - 1] == '\\')
		tail--;
	memcpy(out, link, len);
	memcpy(out + len, link + tail, len - tail);
#else
	// Inside single quotes every byte is literal to sh, whatever the
	// locale: 0x27 is never part of a multibyte character, while a
	// backslash can be the second byte of one in Big5, GBK, GB18030 and
	// Shift-JIS, so escaping with it would not hold.  A ' of the link
	// closes the quotes, stands escaped, and opens them again.
	//
	// bash under GB18030 still takes a ' that follows a byte from 0x80 up
	// and a digit as the rest of a four-byte character (glibc calls the
	// three bytes incomplete, and bash does not go back over them), so
	// such a digit is set apart by '', which adds nothing to the word.
	for (const char *p = link; *p; p++) {
		if (*p == '\'') {
			memcpy(out, "'\\''", 4);
			out += 4;
			continue;
		}
		if (p > link && (unsigned char)p[-1] >= 0x80 && isdigit((unsigned char)*p)) {
			memcpy(out, "''", 2);
			out += 2;
		}
		*out++ = *p;
	}
#endif
}

#ifndef _WIN32
static volatile sig_atomic_t stop_signal;

static void record_stop(int sig)
{
	stop_signal = sig;
}

// Run the command line with /bin/sh -c and wait for it, as system() does,
// but record Ctrl-C and SIGQUIT instead of ignoring them: a shell may exec
// yt-dlp, which catches Ctrl-C and exits with 1, and the program must still
// end by the signal the user sent.  The shell starts with the default
// handling of both, since exec resets caught signals; a program started
// with them ignored, as a background job is, leaves them ignored.
static int run(const char *command)
{
	static const int stops[] = {SIGINT, SIGQUIT};
	struct sigaction saved[2];
	for (int i = 0; i < 2; i++) {
		sigaction(stops[i], NULL, &saved[i]);
		if (saved[i].sa_handler == SIG_IGN)
			continue;
		struct sigaction record = {};
		record.sa_handler = record_stop;
		sigemptyset(&record.sa_mask);
		sigaction(stops[i], &record, NULL);
	}

	char *const argv[] = {(char *)"sh", (char *)"-c", (char *)command, NULL};
	pid_t pid;
	int status = -1;
	int err = posix_spawn(&pid, "/bin/sh", NULL, NULL, argv, environ);
	if (err != 0)
		fprintf(stderr, "fernhollow_tracks: cannot run /bin/sh: %s\n", strerror(err));
	else
		while (waitpid(pid, &status, 0) == -1 && errno == EINTR)
			;

	for (int i = 0; i < 2; i++)
		sigaction(stops[i], &saved[i], NULL);

	// End by the signal that arrived, or that ended the shell.
	int sig = stop_signal;
	if (!sig && status != -1 && WIFSIGNALED(status) &&
	    (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT))
		sig = WTERMSIG(status);
	if (sig) {
		signal(sig, SIG_DFL);
		raise(sig);
	}
	return status;
}
#else
// cmd.exe: Ctrl-C reaches every process of the console, the program too.
// system() gives -1 with errno set when cmd.exe itself could not start;
// any other value is what the command ended with.
static int run(const char *command)
{
	errno = 0;
	int status = system(command);
	if (status == -1 && errno != 0)
		fprintf(stderr, "fernhollow_tracks: cannot run cmd.exe: %s\n", strerror(errno));
	return status;
}
#endif

int main()
{
	int failed = 0;

	for (;;) {
		puts("Enter youtube link : ");
		fflush(stdout);  // seen before the read waits and before yt-dlp writes

		memset(stringcin, 0, sizeof stringcin);
		int start = 0, end = 0;
		if (scanf(LINK_FIELD, &start, stringcin, &end) != 1)
			exit(failed);

		// The field stops at white space unless the width ran out first:
		// then the rest of an overlong link is read and dropped whole.
		int c = getchar();
		if (c != EOF && !isspace(c)) {
			while ((c = getchar()) != EOF && !isspace(c))
				;
			fprintf(stderr, "fernhollow_tracks: link refused: it is longer than %d characters\n", LINK_MAX);
			failed = 1;
			continue;
		}
		if (refused(stringcin, end - start)) {
			failed = 1;
			continue;
		}

		memset(instruction, 0, sizeof instruction);
		strcat(instruction, url);
		append_link(stringcin);
		strcat(instruction, url_end);

		if (run(instruction) != 0)
			failed = 1;
		putchar('\n');
	}
}
