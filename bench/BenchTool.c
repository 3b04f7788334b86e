/* The tools of the benchmark command (scripts/bench): they make its inputs and time whole
 * processes. Written in C so that the timing process stays small: a child's peak memory starts
 * from its parent's when it is started.
 *
 *   body BYTES FILE           an upload body whose xmldata holds BYTES bytes of XML-like text,
 *                             percent-encoded as form clients send it
 *   tree DIR FOLDERS FILES    FOLDERS folders of FILES empty files: a tenth ".xml", a tenth
 *                             ".png", the rest ".txt"
 *   pair RUNS JOB_A JOB_B   runs A and B alternately, RUNS times each after one warm-up run
 *                             of each; prints the wall time, the CPU time, the peak memory and
 *                             the page faults
 *   copy FILE                 the floor of an upload: standard input to FILE as a durable save
 *                             does it (a new file beside it, flushed, moved over FILE, the
 *                             folder flushed)
 *   fcgi SOCKET               a web server's side of one FastCGI request to the worker pool on
 *                             the Unix socket: its environment as the parameters, standard input
 *                             as the body; the answer on standard output
 *
 * A JOB file holds one setting a line: "arg X" (the program first), "env NAME=VALUE" (the whole
 * environment), "in FILE" (fed to standard input through a pipe, as a web server does), "out
 * FILE" (standard output; /dev/null when absent), "rename FROM TO" (done before each run, untimed,
 * when FROM exists: puts back what the previous run moved). The pair prints four lines, "wall",
 * "cpu" (seconds), "rss" (KiB) and "faults" (minor and major page faults), each with the median,
 * minimum and maximum of A, of B and of the ratio A/B taken run by run. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void Fail(const char* what) {
  fprintf(stderr, "benchtool: %s: %s\n", what, errno != 0 ? strerror(errno) : "failed");
  exit(1);
}

/* ---- body ---- */

static const char kFields[] =
    "loja=VESTRA&tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390"
    "&xmldata=";

/* Writes `text` percent-encoded as an HTML form does: letters, digits and ".-*_" as they are,
 * a space as "+", every other byte as %XX. Stops once `*left` bytes of text are written. */
static void Encode(FILE* out, const char* text, size_t length, long long* left) {
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < length && *left > 0; ++i, --*left) {
    unsigned char c = (unsigned char)text[i];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        strchr(".-*_", c) != NULL) {
      putc_unlocked(c, out);
    } else if (c == ' ') {
      putc_unlocked('+', out);
    } else {
      putc_unlocked('%', out);
      putc_unlocked(kHex[c >> 4], out);
      putc_unlocked(kHex[c & 15], out);
    }
  }
}

static int MakeBody(long long bytes, const char* path) {
  FILE* out = fopen(path, "wb");
  if (out == NULL) Fail(path);
  static char buffer[1 << 20];
  setvbuf(out, buffer, _IOFBF, sizeof buffer);
  fputs(kFields, out);
  long long left = bytes;
  const char head[] = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\r\n<lote loja=\"VESTRA\">\r\n";
  Encode(out, head, strlen(head), &left);
  char line[256];
  for (long n = 1; left > 0; ++n) {
    /* Orders of a batch: numbers, attributes, accented text in code page 1252. */
    int length = snprintf(line, sizeof line,
                          "  <item seq=\"%ld\" cod=\"789%010ld\" qtd=\"%ld\" preco=\"%ld,%02ld\">"
                          "Produto n\xFAmero %ld &amp; cia</item>\r\n",
                          n, n * 7919 % 10000000000L, n % 48 + 1, n % 9973, n % 100, n);
    Encode(out, line, (size_t)length, &left);
  }
  if (fclose(out) != 0) Fail(path);
  return 0;
}

/* ---- tree ---- */

static int MakeTree(const char* dir, int folders, int files) {
  char path[4096];
  if (mkdir(dir, 0755) != 0 && errno != EEXIST) Fail(dir);
  for (int f = 0; f < folders; ++f) {
    snprintf(path, sizeof path, "%s/Lote%04d", dir, f);
    if (mkdir(path, 0755) != 0 && errno != EEXIST) Fail(path);
    for (int i = 0; i < files; ++i) {
      const char* ext = i % 10 == 0 ? "xml" : i % 10 == 1 ? "png" : "txt";
      snprintf(path, sizeof path, "%s/Lote%04d/NF_TF%04d_%04d.%s", dir, f, f, i, ext);
      int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) Fail(path);
      close(fd);
    }
  }
  return 0;
}

/* ---- copy ---- */

static int DurableCopy(const char* path) {
  char pending[4096];
  snprintf(pending, sizeof pending, "%s.pending", path);
  int fd = open(pending, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail(pending);
  static char buffer[1 << 16];
  ssize_t got;
  while ((got = read(0, buffer, sizeof buffer)) > 0) {
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(fd, buffer + done, (size_t)(got - done));
      if (put <= 0) Fail(pending);
      done += put;
    }
  }
  if (got < 0 || fsync(fd) != 0 || close(fd) != 0) Fail(pending);
  if (rename(pending, path) != 0) Fail(path);
  char folder[4096];
  snprintf(folder, sizeof folder, "%s", path);
  char* slash = strrchr(folder, '/');
  if (slash != NULL) *slash = '\0';
  int dir = open(slash != NULL ? folder : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || fsync(dir) != 0) Fail(folder);
  close(dir);
  return 0;
}

/* ---- fcgi ---- */

extern char** environ;

static void SendAll(int fd, const char* bytes, size_t count) {
  while (count > 0) {
    ssize_t put = write(fd, bytes, count);
    if (put <= 0) Fail("fcgi write");
    bytes += put;
    count -= (size_t)put;
  }
}

/* One record of request 1 (content at most 65535 bytes). */
static void SendRecord(int fd, int type, const char* content, size_t length) {
  const unsigned char head[8] = {1, (unsigned char)type, 0, 1, (unsigned char)(length >> 8),
                                 (unsigned char)length, 0, 0};
  SendAll(fd, (const char*)head, sizeof head);
  SendAll(fd, content, length);
}

static size_t PutLength(unsigned char* at, size_t length) {
  if (length < 128) {
    at[0] = (unsigned char)length;
    return 1;
  }
  at[0] = (unsigned char)(length >> 24 | 0x80);
  at[1] = (unsigned char)(length >> 16);
  at[2] = (unsigned char)(length >> 8);
  at[3] = (unsigned char)length;
  return 4;
}

static void ReadAll(int fd, unsigned char* into, size_t count) {
  while (count > 0) {
    ssize_t got = read(fd, into, count);
    if (got <= 0) Fail("fcgi read");
    into += got;
    count -= (size_t)got;
  }
}

static int FastCgiRequest(const char* socketPath) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath);
  if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) Fail(socketPath);
  static const char begin[8] = {0, 1, 0, 0, 0, 0, 0, 0}; /* responder, connection not kept */
  SendRecord(fd, 1, begin, sizeof begin);
  static unsigned char pairs[65535];
  size_t used = 0;
  for (char** variable = environ; *variable != NULL; ++variable) {
    const char* equals = strchr(*variable, '=');
    if (equals == NULL) continue;
    size_t name = (size_t)(equals - *variable), value = strlen(equals + 1);
    if (used + 8 + name + value > sizeof pairs) Fail("fcgi parameters");
    used += PutLength(pairs + used, name);
    used += PutLength(pairs + used, value);
    memcpy(pairs + used, *variable, name);
    memcpy(pairs + used + name, equals + 1, value);
    used += name + value;
  }
  SendRecord(fd, 4, (const char*)pairs, used);
  SendRecord(fd, 4, "", 0);
  static char buffer[65535 + 255]; /* a record's content and its padding */
  ssize_t got;
  while ((got = read(0, buffer, 65535)) > 0) SendRecord(fd, 5, buffer, (size_t)got);
  SendRecord(fd, 5, "", 0);
  for (;;) {
    unsigned char head[8];
    ReadAll(fd, head, sizeof head);
    size_t length = (size_t)head[4] << 8 | head[5], padding = head[6];
    ReadAll(fd, (unsigned char*)buffer, length + padding);
    if (head[1] == 6) SendAll(1, buffer, length);
    if (head[1] == 3) break;
  }
  close(fd);
  return 0;
}

/* ---- pair ---- */

enum { kMaxItems = 64 };

typedef struct {
  char* args[kMaxItems + 1];
  char* env[kMaxItems + 1];
  int argCount, envCount;
  char* in;
  char* out;
  char* renameFrom;
  char* renameTo;
} Job;

static char* Copy(const char* text) {
  char* copy = strdup(text);
  if (copy == NULL) Fail("strdup");
  return copy;
}

static void LoadJob(const char* path, Job* job) {
  memset(job, 0, sizeof *job);
  FILE* file = fopen(path, "r");
  if (file == NULL) Fail(path);
  char line[8192];
  while (fgets(line, sizeof line, file) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    char* value = strchr(line, ' ');
    if (value == NULL) continue;
    *value++ = '\0';
    if (strcmp(line, "arg") == 0 && job->argCount < kMaxItems) {
      job->args[job->argCount++] = Copy(value);
    } else if (strcmp(line, "env") == 0 && job->envCount < kMaxItems) {
      job->env[job->envCount++] = Copy(value);
    } else if (strcmp(line, "in") == 0) {
      job->in = Copy(value);
    } else if (strcmp(line, "out") == 0) {
      job->out = Copy(value);
    } else if (strcmp(line, "rename") == 0 && strchr(value, ' ') != NULL) {
      char* to = strchr(value, ' ');
      *to++ = '\0';
      job->renameFrom = Copy(value);
      job->renameTo = Copy(to);
    }
  }
  fclose(file);
  if (job->argCount == 0) {
    fprintf(stderr, "benchtool: %s names no program\n", path);
    exit(1);
  }
}

typedef struct {
  int from, to;
} Feed;

/* Copies the input file into the child's pipe; a child that stops reading ends the copy. */
static void* FeedInput(void* arg) {
  Feed* feed = arg;
  static char buffer[1 << 16];
  ssize_t got;
  while (feed->from >= 0 && (got = read(feed->from, buffer, sizeof buffer)) > 0) {
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(feed->to, buffer + done, (size_t)(got - done));
      if (put <= 0) goto end;
      done += put;
    }
  }
end:
  close(feed->to);
  return NULL;
}

typedef struct {
  double wall, cpu, rss, faults;
} Sample;

static double Seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static Sample RunOnce(const Job* job) {
  if (job->renameFrom != NULL && rename(job->renameFrom, job->renameTo) != 0 && errno != ENOENT) {
    Fail(job->renameFrom);
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) Fail("pipe");
  Feed feed = {job->in != NULL ? open(job->in, O_RDONLY | O_CLOEXEC) : -1, pipeFds[1]};
  if (job->in != NULL && feed.from < 0) Fail(job->in);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, job->out != NULL ? job->out : "/dev/null",
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

  double start = Now();
  pid_t pid;
  int error = posix_spawn(&pid, job->args[0], &actions, NULL, job->args, job->env);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    errno = error;
    Fail(job->args[0]);
  }
  close(pipeFds[0]);
  pthread_t feeder;
  if (pthread_create(&feeder, NULL, FeedInput, &feed) != 0) Fail("thread");
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) Fail("wait4");
  pthread_join(feeder, NULL);
  double end = Now();
  if (feed.from >= 0) close(feed.from);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "benchtool: %s ended with status %d\n", job->args[0], status);
    exit(1);
  }
  Sample sample = {end - start, Seconds(usage.ru_utime) + Seconds(usage.ru_stime),
                   (double)usage.ru_maxrss, (double)(usage.ru_minflt + usage.ru_majflt)};
  return sample;
}

static int CompareDoubles(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

/* Prints the median, minimum and maximum of `values` (sorted in place). */
static void PrintStats(double* values, int count) {
  qsort(values, (size_t)count, sizeof *values, CompareDoubles);
  double median = count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
  printf(" %.6g %.6g %.6g", median, values[0], values[count - 1]);
}

static int RunPair(int runs, const char* pathA, const char* pathB) {
  Job a, b;
  LoadJob(pathA, &a);
  LoadJob(pathB, &b);
  RunOnce(&a);  // warm-up: caches, the page cache of the inputs
  RunOnce(&b);
  enum { kColumns = 12 };
  double* values = calloc((size_t)runs * kColumns, sizeof *values);
  if (values == NULL) Fail("calloc");
  for (int i = 0; i < runs; ++i) {
    Sample x = RunOnce(&a), y = RunOnce(&b);
    double* row = values + (size_t)i * kColumns;
    const double pairs[kColumns] = {x.wall, y.wall, x.wall / y.wall, x.cpu, y.cpu,
                                    y.cpu > 0 ? x.cpu / y.cpu : 0, x.rss, y.rss, x.rss / y.rss,
                                    x.faults, y.faults, y.faults > 0 ? x.faults / y.faults : 0};
    memcpy(row, pairs, sizeof pairs);
  }
  const char* names[4] = {"wall", "cpu", "rss", "faults"};
  double* column = calloc((size_t)runs, sizeof *column);
  for (int m = 0; m < 4; ++m) {
    printf("%s", names[m]);
    for (int k = 0; k < 3; ++k) {
      for (int i = 0; i < runs; ++i) {
        column[i] = values[(size_t)i * kColumns + (size_t)(m * 3 + k)];
      }
      PrintStats(column, runs);
    }
    printf("\n");
  }
  free(column);
  free(values);
  return 0;
}

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc == 4 && strcmp(argv[1], "body") == 0) return MakeBody(atoll(argv[2]), argv[3]);
  if (argc == 5 && strcmp(argv[1], "tree") == 0) {
    return MakeTree(argv[2], atoi(argv[3]), atoi(argv[4]));
  }
  if (argc == 3 && strcmp(argv[1], "copy") == 0) return DurableCopy(argv[2]);
  if (argc == 3 && strcmp(argv[1], "fcgi") == 0) return FastCgiRequest(argv[2]);
  if (argc == 5 && strcmp(argv[1], "pair") == 0 && atoi(argv[2]) > 0) {
    return RunPair(atoi(argv[2]), argv[3], argv[4]);
  }
  fprintf(stderr,
          "usage: benchtool body BYTES FILE | tree DIR FOLDERS FILES | pair RUNS JOB_A JOB_B | "
          "copy FILE | fcgi SOCKET\n");
  return 2;
}
