/* The application's side of the updater: start the update for the running
 * application, prepare an update while it runs (with progress), confirm a
 * start after an update, and tell what a start follows.
 *
 * Plain C, callable from any language with a C interface. Strings are
 * UTF-8 (on Windows they are converted to the system's wide strings), and
 * a call refuses one that is not before it starts anything; no call raises
 * an exception or keeps a pointer past its return. Every call that can
 * fail returns 0 or an error code, and fills *error (which may be NULL)
 * with the code and a message. */
#ifndef UPDATER_CLIENT_H
#define UPDATER_CLIENT_H

#ifdef __cplusplus
extern "C" {
#endif

enum updater_error_code {
    UPDATER_OK = 0,
    UPDATER_ERROR_INVALID_ARGUMENT = 1, /* a required string is missing or not UTF-8, a buffer too small,
                                           or the updater's command line too long for Windows */
    UPDATER_ERROR_START_FAILED = 2,     /* the updater program could not be started */
    UPDATER_ERROR_PREPARE_FAILED = 3,   /* prepare ran and could not make the copy */
    UPDATER_ERROR_SYSTEM = 4            /* a system call failed */
};

#define UPDATER_MESSAGE_SIZE 1024

typedef struct updater_error {
    int code;                              /* an updater_error_code */
    char message[UPDATER_MESSAGE_SIZE];    /* UTF-8, NUL-terminated, empty when code is 0 */
} updater_error;

/* What a start of the application follows, told from its own command line. */
typedef enum updater_start_kind {
    UPDATER_START_PLAIN = 0,        /* neither: an ordinary start */
    UPDATER_START_AFTER_UPDATE = 1, /* the first start of a new version (--after-update) */
    UPDATER_START_UPDATE_FAILED = 2 /* the old version back after a failed update (--update-failed) */
} updater_start_kind;

/* argv as main gets it: a C main's char** argv passes as it is. */
updater_start_kind updater_start_kind_of(int argc, char* const* argv);

/* The application root of the running application: the parent of the
 * `current` directory that holds its executable. argv0 is the
 * application's argv[0]; the updater starts it with the absolute path of its
 * executable there. */
int updater_find_app_dir(const char* argv0, char* out, unsigned long out_size, updater_error* error);

typedef struct updater_apply_request {
    const char* updater;        /* the updater program; NULL: "updater" (Windows: "updater.exe") in app_dir */
    const char* package;        /* the downloaded package */
    const char* app_dir;        /* the application root */
    const char* version;        /* the new version string */
    const char* exe;            /* the main executable's name in current/; NULL: "app.exe", the default
                                   of the updater's --exe, which seldom names a program on Linux */
    const char* const* args;    /* arguments for the new version, NULL-terminated; NULL: none */
    unsigned confirm_timeout_s; /* above 0: the new version must call updater_confirm_start in time */
    int no_launch;              /* nonzero: start nothing afterwards (installing on quit) */
    const char* sha256;         /* NULL, or the SHA-256 the package must have (64 hexadecimal digits) */
} updater_apply_request;

/* Starts `updater apply` for the calling process (its own process id
 * filled in): detached, without a window, with no handle or descriptor of
 * the caller's, and returns at once. The caller then exits; the updater
 * waits for it, applies the update (using a copy updater_prepare made, if
 * it fits) and starts the new version. */
int updater_start_apply(const updater_apply_request* request, updater_error* error);

/* Called a few times a second while updater_prepare runs, and once at the
 * end: bytes of the package's files extracted so far, of the total. */
typedef void (*updater_progress_fn)(unsigned long long done, unsigned long long total, void* context);

typedef struct updater_prepare_request {
    const char* updater;          /* as in updater_apply_request */
    const char* package;
    const char* app_dir;
    const char* version;
    const char* exe;              /* as in updater_apply_request: the same for both */
    const char* sha256;           /* as in updater_apply_request */
    updater_progress_fn progress; /* may be NULL */
    void* context;                /* handed to progress */
} updater_prepare_request;

/* Runs `updater prepare` and waits for it, calling progress on the calling
 * thread. 0 when the copy is ready for the next updater_start_apply of the
 * same package and version. UPDATER_ERROR_PREPARE_FAILED when the updater
 * could not make it: the message holds the messages of the error lines it
 * logged, joined by "; " (the updater reports them on the pipe the progress
 * comes through), the last of which says that it failed; or what it said
 * when it stopped before its log (a command-line error); and *exit_code
 * (when not NULL) is its exit code. */
int updater_prepare(const updater_prepare_request* request, int* exit_code, updater_error* error);

/* Confirms a start after an update for the updater's start check
 * (--confirm-timeout): creates `.update-confirmed` in app_dir, never
 * through a link. Call it once the new version has got as far as counts as
 * a good start (settings read, main window shown). */
int updater_confirm_start(const char* app_dir, updater_error* error);

#ifdef __cplusplus
}
#endif

#endif
