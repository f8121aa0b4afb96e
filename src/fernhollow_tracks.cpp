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
#ifndef _WIN32
#include <sys/wait.h>
#endif

#ifdef _WIN32
#define SEP "\\"
#else
#define SEP "/"
#endif

// The longest link that is taken, as a number and as the width of the read.
#define LINK_MAX 934
#define LINK_FIELD " %n%934s%n"

static char stringcin[LINK_MAX + 1];
// The 67 characters before the link, the link with every byte escaped,
// the closing quote and the terminating zero.
static char instruction[67 + 2 * LINK_MAX + 2];
static const char *url = "yt-dlp --output \"." SEP "fernhollow_tracks" SEP
                         "%(title)s.%(ext)s\" -f 251 -- \"";
static const char *url_end = "\"";

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
	// Between double quotes sh still reads these four.
	for (const char *p = link; *p; p++) {
		if (strchr("$`\\\"", *p))
			*out++ = '\\';
		*out++ = *p;
	}
#endif
}

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

		int status = system(instruction);
		if (status != 0)
			failed = 1;
#ifndef _WIN32
		// system() ignores Ctrl-C while yt-dlp runs; when it killed
		// yt-dlp, end here by the same signal, as a shell does.
		if (status != -1 && WIFSIGNALED(status) &&
		    (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT)) {
			signal(WTERMSIG(status), SIG_DFL);
			raise(WTERMSIG(status));
		}
#endif
		putchar('\n');
	}
}
