// A stand-in for yt-dlp in the tests and the benchmark, built as "yt-dlp".
//
// It appends the arguments it was given to the file named by STANDIN_LOG,
// one line a run, each argument followed by a zero byte: links hold no
// line ends, so every byte of every argument can be read back.  Then it
// prints "[download] <last argument>" and exits 0.  A last argument that
// contains "fail" makes it print an error and exit 1 instead; one that
// contains "sleep" makes it wait 30 seconds first, to be interrupted.  One
// that contains "catch" also catches Ctrl-C as the real yt-dlp does: it
// then prints "ERROR: Interrupted by user" and exits 1.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

static volatile sig_atomic_t interrupted;

static void interrupt(int)
{
	interrupted = 1;
}

int main(int argc, char **argv)
{
	const char *link = argc > 1 ? argv[argc - 1] : "";
	if (strstr(link, "catch"))
		signal(SIGINT, interrupt);
	if (const char *log = getenv("STANDIN_LOG")) {
		FILE *f = fopen(log, "ab");
		if (!f) {
			perror(log);
			return 2;
		}
		for (int i = 1; i < argc; i++)
			fwrite(argv[i], 1, strlen(argv[i]) + 1, f);
		fputc('\n', f);
		fclose(f);
	}
	if (strstr(link, "sleep")) {
#ifdef _WIN32
		Sleep(30000);
#else
		sleep(30);  // returns early when a caught signal arrives
#endif
	}
	if (interrupted) {
		fputs("ERROR: Interrupted by user\n", stderr);
		return 1;
	}
	if (strstr(link, "fail")) {
		fprintf(stderr, "ERROR: [generic] %s: unable to download\n", link);
		return 1;
	}
	printf("[download] %s\n", link);
	return 0;
}
