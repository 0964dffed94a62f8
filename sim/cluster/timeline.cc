/*
 * osk-cluster timeline [--svg FILE | --follow]: what each node did during
 * the last update, read from the nodes' run logs and the supervisor's log.
 * One lane per node with its phases (verify, extract, install, waiting,
 * LILO, down) and the moment it rejoined, as a text table, as a standalone
 * SVG, or live, one line per node. Times are milliseconds: each run-log
 * line at the moment the cluster saw it arrive (witness.h), a log the
 * witness did not see at the whole second it stamps.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "simcluster.h"
#include "sim_util.h"
#include "witness.h"

#include "osk_banned.h"

namespace
{

enum { PH_VERIFY, PH_EXTRACT, PH_INSTALL, PH_WAITING, PH_LILO, PH_DOWN, PH_COUNT };

const char *const phase_name[PH_COUNT] = {"verify",  "extract", "install",
                                          "waiting", "LILO",    "down"};
const char *const phase_color[PH_COUNT] = {"#8da0cb", "#66c2a5", "#fc8d62",
                                           "#d9d9d9", "#e78ac3", "#555555"};

struct record_t {
    long long t; /* milliseconds; -1 when the line carries no stamp */
    std::string text;
};

/* One run of `update`: the records after one log header. */
struct run_t {
    std::string cmd;
    std::vector<record_t> recs;
};

/* Milliseconds; end is -1 while the phase goes on. */
struct span_t {
    long long start = -1, end = -1;
};

struct lane_t {
    int node;
    span_t ph[PH_COUNT];
    long long rejoined = -1;
};

/* "{Sun Dec 06 14:36:23[.123] UTC 2026} text": milliseconds and text, or
 * t = -1. */
record_t parse_record(const std::string &line)
{
    record_t r{-1, line};
    size_t close = line.find("} ");
    if (line.empty() || line[0] != '{' || close == std::string::npos)
        return r;
    struct tm tm = {};
    char zone[16];
    int year, ms = 0, used = 0;
    std::string stamp = line.substr(1, close - 1);
    const char *rest = strptime(stamp.c_str(), "%a %b %d %H:%M:%S", &tm);
    if (rest != nullptr && sscanf(rest, ".%3d%n", &ms, &used) == 1)
        rest += used;
    if (rest == nullptr || sscanf(rest, " %15s %d", zone, &year) != 2)
        return r;
    tm.tm_year = year - 1900;
    /* One zone throughout: only differences matter. */
    r.t = (long long)timegm(&tm) * 1000 + ms;
    r.text = line.substr(close + 2);
    return r;
}

/* One line of a run log, at ms when known (else at its own stamp). */
void add_line(std::vector<run_t> *runs, const std::string &line, long long ms)
{
    if (line.rfind("= CMD: ", 0) == 0) {
        runs->push_back(run_t{line.substr(7), {}});
        return;
    }
    record_t r = parse_record(line);
    if (r.t < 0 || runs->empty())
        return;
    if (ms >= 0)
        r.t = ms;
    runs->back().recs.push_back(r);
}

/* Every run in run log NAME of node n's root, oldest first: as the
 * witness saw its lines arrive, else from the log itself. */
std::vector<run_t> read_runs(const std::string &dir, int n, char root, const char *name)
{
    std::vector<run_t> runs;
    std::string times = witness_times_path(dir, n, root, name), line;
    bool witnessed = false;
    for (const std::string &path : {times + ".old", times}) {
        std::ifstream in(path);
        while (std::getline(in, line)) {
            size_t tab = line.find('\t');
            witnessed = true;
            if (tab != std::string::npos)
                add_line(&runs, line.substr(tab + 1), atoll(line.c_str()));
        }
    }
    if (witnessed)
        return runs;
    std::ifstream in(dir + "/node" + std::to_string(n) + "/" + root + "/upper/var/log/osk/" + name);
    while (std::getline(in, line))
        add_line(&runs, line, -1);
    return runs;
}

long long run_start(const run_t &r)
{
    return r.recs.empty() ? -1 : r.recs.front().t;
}

/* The latest run of FILE in either root of node n that started at or after
 * since and, when want_child is 0 or 1, is or is not another node's child. */
bool latest_run(const std::string &dir, int n, const char *file, long long since, int want_child,
                run_t *out)
{
    bool found = false;
    for (char root : {'A', 'B'}) {
        for (const run_t &r : read_runs(dir, n, root, file)) {
            bool child = r.cmd.find("--child") != std::string::npos;
            if (run_start(r) < since || (want_child >= 0 && child != (want_child == 1)))
                continue;
            if (!found || run_start(r) >= run_start(*out)) {
                *out = r;
                found = true;
            }
        }
    }
    return found;
}

/* Time of the first record at or after index from whose text holds what. */
long long find_at(const run_t &r, const char *what, size_t from = 0, size_t *index = nullptr)
{
    for (size_t i = from; i < r.recs.size(); i++) {
        if (r.recs[i].text.find(what) != std::string::npos) {
            if (index != nullptr)
                *index = i;
            return r.recs[i].t;
        }
    }
    return -1;
}

/* The LILO step of node n, run by the updating node: its command and result. */
span_t lilo_span(const run_t &master, int n, bool is_master)
{
    span_t s;
    std::string remote = "node" + std::to_string(n) + " chroot /altroot /sbin/lilo";
    size_t i = 0;
    s.start = find_at(master, remote.c_str(), 0, &i);
    if (s.start < 0 && is_master)
        s.start = find_at(master, "lilo *  : ", 0, &i);
    if (s.start >= 0)
        s.end = find_at(master, "***: ", i + 1);
    return s;
}

/* The supervisor's "node N: rebooting" at or after since, and its "up" after it. */
void reboot_span(const std::string &dir, int n, long long since, lane_t *lane)
{
    std::ifstream in(dir + "/supervisor.log");
    std::string line, node = "node " + std::to_string(n) + ": ";
    long long down = -1;
    while (std::getline(in, line)) {
        record_t r = parse_record(line);
        if (r.t < since || r.text.rfind(node, 0) != 0)
            continue;
        std::string what = r.text.substr(node.size());
        if (what == "rebooting" && down < 0)
            down = r.t;
        else if (what == "up" && down >= 0) {
            lane->ph[PH_DOWN] = {down, r.t};
            lane->rejoined = r.t;
            return;
        }
    }
    if (down >= 0)
        lane->ph[PH_DOWN] = {down, -1};
}

/* Phases of node n; master is the updating node's run. */
lane_t node_lane(const std::string &dir, int n, const run_t &own, bool has_own, const run_t &master,
                 bool is_master, long long t0)
{
    lane_t l;
    l.node = n;
    /* The witness stamps each log as it sees it: a child's first lines may
     * be seen a moment before its parent's, which started first. */
    const long long seen_early_ms = 1000;
    run_t verify;
    if (latest_run(dir, n, "update_verify", t0 - seen_early_ms, -1, &verify))
        l.ph[PH_VERIFY] = {std::max(run_start(verify), t0), verify.recs.back().t};
    if (has_own) {
        long long extract = find_at(own, "Extracting...");
        long long install = find_at(own, "Installing to partition");
        long long done = find_at(own, "Done installing new version.");
        l.ph[PH_EXTRACT] = {extract, install};
        l.ph[PH_INSTALL] = {install, done};
    }
    l.ph[PH_LILO] = lilo_span(master, n, is_master);
    if (l.ph[PH_INSTALL].end >= 0)
        l.ph[PH_WAITING] = {l.ph[PH_INSTALL].end, l.ph[PH_LILO].start};
    reboot_span(dir, n, l.ph[PH_LILO].start >= 0 ? l.ph[PH_LILO].start : t0, &l);
    for (span_t &s : l.ph) {
        if (s.start < 0 || (s.end >= 0 && s.end < s.start))
            s = span_t{};
    }
    return l;
}

bool done(const span_t &s)
{
    return s.start >= 0 && s.end >= 0;
}

/* A length as an eye reads it: milliseconds when short, seconds when long. */
std::string length_text(long long ms)
{
    char t[32];
    if (ms < 1000)
        snprintf(t, sizeof t, "%lldms", ms);
    else if (ms < 10000)
        snprintf(t, sizeof t, "%.2fs", (double)ms / 1000);
    else
        snprintf(t, sizeof t, "%.1fs", (double)ms / 1000);
    return t;
}

/* A moment from the start, in seconds to the millisecond. */
std::string moment_text(long long ms)
{
    char t[32];
    snprintf(t, sizeof t, "%lld.%03lld", ms / 1000, ms % 1000);
    return t;
}

void print_table(const std::vector<lane_t> &lanes, int master, const std::string &started)
{
    printf("update from node %d, started %s; start+length, the start in seconds from then\n",
           master, started.c_str());
    printf("%-5s", "node");
    for (const char *p : phase_name)
        printf(" %-14s", p);
    printf(" %s\n", "rejoined");
    for (const lane_t &l : lanes) {
        printf("%-5d", l.node);
        for (const span_t &s : l.ph) {
            std::string cell = "-";
            if (done(s))
                cell = moment_text(s.start) + "+" + length_text(s.end - s.start);
            printf(" %-14s", cell.c_str());
        }
        printf(" %s\n", l.rejoined < 0 ? "-" : moment_text(l.rejoined).c_str());
    }
}

/* A tick step of 1, 2 or 5 times a power of ten milliseconds (and whole
 * minutes past one), so that TOTAL holds at most about a dozen ticks. */
long long tick_step(long long total)
{
    for (long long decade = 1;; decade *= 10)
        for (long long m : {1, 2, 5}) {
            long long step = m * decade;
            if (step >= 60000 && step % 60000 != 0)
                step = (step / 60000 + 1) * 60000;
            if (total / step <= 12)
                return step;
        }
}

/* One unit along the whole axis: milliseconds for an axis under a second. */
std::string tick_text(long long t, long long step, long long total)
{
    char s[32];
    if (t == 0)
        return "0";
    if (total < 1000)
        snprintf(s, sizeof s, "%lldms", t);
    else if (step % 1000 == 0)
        snprintf(s, sizeof s, "%llds", t / 1000);
    else if (step % 100 == 0)
        snprintf(s, sizeof s, "%.1fs", (double)t / 1000);
    else
        snprintf(s, sizeof s, "%.2fs", (double)t / 1000);
    return s;
}

int write_svg(const char *path, const std::vector<lane_t> &lanes, int master,
              const std::string &started)
{
    long long total = 1;
    for (const lane_t &l : lanes) {
        for (const span_t &s : l.ph)
            total = s.end > total ? s.end : total;
        total = l.rejoined > total ? l.rejoined : total;
    }
    const int left = 70, lane_h = 34, top = 50, width = 1100;
    double px = (double)width / (double)total;
    int height = top + lane_h * (int)lanes.size() + 60;
    FILE *f = fopen(path, "w");
    if (f == nullptr) {
        perror(path);
        return 1;
    }
    fprintf(f,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
            "font-family=\"sans-serif\" font-size=\"12\">\n"
            "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
            "<text x=\"10\" y=\"20\" font-size=\"14\">update from node %d, started %s "
            "(%s)</text>\n",
            left + width + 40, height, master, started.c_str(), length_text(total).c_str());
    long long step = tick_step(total);
    for (long long t = 0; t <= total; t += step) {
        double x = left + (double)t * px;
        fprintf(f,
                "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#dddddd\"/>\n"
                "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\" fill=\"#555555\">%s</text>\n",
                x, top - 8, x, top + lane_h * (int)lanes.size(), x, top - 12,
                tick_text(t, step, total).c_str());
    }
    for (size_t i = 0; i < lanes.size(); i++) {
        const lane_t &l = lanes[i];
        int y = top + lane_h * (int)i;
        fprintf(f, "<g data-node=\"%d\">\n<text x=\"10\" y=\"%d\">node %d</text>\n", l.node,
                y + lane_h / 2 + 4, l.node);
        for (int p = 0; p < PH_COUNT; p++) {
            const span_t &s = l.ph[p];
            if (!done(s))
                continue;
            std::string len = length_text(s.end - s.start);
            double x = left + (double)s.start * px;
            double w = (double)(s.end - s.start) * px;
            if (w < 3)
                w = 3; /* a step of a few milliseconds still shows */
            fprintf(f,
                    "<rect data-phase=\"%s\" data-start=\"%lld\" data-length=\"%lld\" x=\"%.1f\" "
                    "y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>node %d %s: "
                    "%s from %ss</title></rect>\n",
                    phase_name[p], s.start, s.end - s.start, x, y + 4, w, lane_h - 8,
                    phase_color[p], l.node, phase_name[p], len.c_str(),
                    moment_text(s.start).c_str());
            /* The length inside the bar when it fits (about 6 px a character). */
            if (w > 6.0 * (double)len.size() + 4)
                fprintf(f,
                        "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\" font-size=\"10\" "
                        "fill=\"%s\">%s</text>\n",
                        x + w / 2, y + lane_h / 2 + 4, p == PH_DOWN ? "white" : "black",
                        len.c_str());
        }
        if (l.rejoined >= 0) {
            double x = left + (double)l.rejoined * px;
            fprintf(f,
                    "<path data-phase=\"rejoined\" data-start=\"%lld\" d=\"M%.1f %d l6 %d l-6 %d "
                    "l-6 -%d z\" fill=\"#1b9e77\"><title>node %d rejoined at %ss</title></path>\n",
                    l.rejoined, x, y + 4, (lane_h - 8) / 2, (lane_h - 8) / 2, (lane_h - 8) / 2,
                    l.node, moment_text(l.rejoined).c_str());
        }
        fprintf(f, "</g>\n");
    }
    int ly = top + lane_h * (int)lanes.size() + 25;
    for (int p = 0; p < PH_COUNT; p++) {
        int x = left + p * 110;
        fprintf(f,
                "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"14\" fill=\"%s\"/>"
                "<text x=\"%d\" y=\"%d\">%s</text>\n",
                x, ly, phase_color[p], x + 18, ly + 11, phase_name[p]);
    }
    fprintf(f,
            "<path d=\"M%d %d l6 7 l-6 7 l-6 -7 z\" fill=\"#1b9e77\"/>"
            "<text x=\"%d\" y=\"%d\">rejoined</text>\n</svg>\n",
            left + PH_COUNT * 110 + 6, ly, left + PH_COUNT * 110 + 18, ly + 11);
    return fclose(f) == 0 ? 0 : 1;
}

/* The last update of the cluster in dir: its node, its start and every
 * node's lane, times from its start. False when no update was run. */
bool read_update(const std::string &dir, int nnodes, int *master, long long *t0,
                 std::vector<lane_t> *lanes)
{
    /* The updating node: the latest run of update that no other node started. */
    *master = -1;
    run_t mrun;
    for (int n = 0; n < nnodes; n++) {
        run_t r;
        if (latest_run(dir, n, "update", 0, 0, &r) && r.cmd.find("--verify") == std::string::npos &&
            (*master < 0 || run_start(r) > run_start(mrun))) {
            *master = n;
            mrun = r;
        }
    }
    if (*master < 0)
        return false;
    *t0 = run_start(mrun);
    lanes->clear();
    for (int n = 0; n < nnodes; n++) {
        /* A node installs in its own child run, except the updating node
         * without --quick, which installs in the run itself. */
        run_t own = mrun;
        bool has_own = latest_run(dir, n, "update", *t0, 1, &own) ||
                       (n == *master && find_at(mrun, "Extracting...") >= 0);
        lane_t l = node_lane(dir, n, own, has_own, mrun, n == *master, *t0);
        for (span_t &s : l.ph) {
            if (s.start >= 0)
                s = {s.start - *t0, s.end >= 0 ? s.end - *t0 : -1};
        }
        if (l.rejoined >= 0)
            l.rejoined -= *t0;
        lanes->push_back(l);
    }
    return true;
}

long long wall_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Each node's phase now and how long it has lasted; ends once every node
 * of an update it saw going on has rejoined. */
int follow(const std::string &dir, int nnodes)
{
    bool tty = isatty(1), seen_running = false, drawn = false;
    std::string last;
    for (;;) {
        int master;
        long long t0;
        std::vector<lane_t> lanes;
        std::string block;
        bool running = false;
        if (!read_update(dir, nnodes, &master, &t0, &lanes)) {
            block = "no update yet\n";
        } else {
            long long now = wall_ms() - t0;
            for (const lane_t &l : lanes) {
                int cur = -1;
                for (int p = 0; p < PH_COUNT; p++)
                    if (l.ph[p].start >= 0 && (cur < 0 || l.ph[p].start >= l.ph[cur].start))
                        cur = p;
                char line[128];
                if (l.rejoined >= 0)
                    snprintf(line, sizeof line, "node%d rejoined at %ss\n", l.node,
                             moment_text(l.rejoined).c_str());
                else if (cur < 0)
                    snprintf(line, sizeof line, "node%d -\n", l.node);
                else if (l.ph[cur].end < 0)
                    snprintf(line, sizeof line, "node%d %-8s %s\n", l.node, phase_name[cur],
                             length_text(now - l.ph[cur].start).c_str());
                else if (cur == PH_VERIFY) /* no line tells that it ended: as far as seen */
                    snprintf(line, sizeof line, "node%d %-8s %s\n", l.node, phase_name[cur],
                             length_text(l.ph[cur].end - l.ph[cur].start).c_str());
                else
                    snprintf(line, sizeof line, "node%d %s done after %s\n", l.node,
                             phase_name[cur], length_text(l.ph[cur].end - l.ph[cur].start).c_str());
                block += line;
                running |= l.rejoined < 0;
            }
        }
        seen_running |= running;
        /* On a terminal the lines are redrawn in place; elsewhere a block
         * is written when a node's phase changes. */
        std::string shape;
        for (char c : block) {
            bool num = (c >= '0' && c <= '9') || c == '.';
            if (!num || shape.empty() || shape.back() != '#')
                shape += num ? '#' : c;
        }
        if (tty) {
            if (drawn)
                printf("\033[%dF\033[J", (int)std::count(last.begin(), last.end(), '\n'));
            fputs(block.c_str(), stdout);
            drawn = true;
            last = block;
        } else if (shape != last) {
            fputs(block.c_str(), stdout);
            last = shape;
        }
        fflush(stdout);
        if (seen_running && !running)
            return 0;
        usleep(200 * 1000);
    }
}

} // namespace

int cmd_timeline(int argc, char **argv)
{
    const char *svg = nullptr;
    bool live = false;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--svg") == 0 && i + 1 < argc && !live) {
            svg = argv[++i];
        } else if (strcmp(argv[i], "--follow") == 0 && svg == nullptr) {
            live = true;
        } else {
            fprintf(stderr, "osk-cluster: timeline takes --svg FILE or --follow\n");
            return 2;
        }
    }
    std::string dir = sim_cluster_dir();
    int nnodes = 0;
    {
        std::ifstream in(dir + "/nodes");
        in >> nnodes;
    }
    if (nnodes < 1 || nnodes > 8) {
        fprintf(stderr, "osk-cluster: no cluster in %s; start one with osk-cluster up\n",
                dir.c_str());
        return 1;
    }
    if (live)
        return follow(dir, nnodes);
    int master;
    long long t0;
    std::vector<lane_t> lanes;
    if (!read_update(dir, nnodes, &master, &t0, &lanes)) {
        fprintf(stderr, "osk-cluster: no update in the nodes' run logs\n");
        return 1;
    }
    /* Back to the stamp's own fields: t0 was made from them with timegm(). */
    time_t t = (time_t)(t0 / 1000);
    struct tm tm;
    char buf[64];
    gmtime_r(&t, &tm);
    strftime(buf, sizeof buf, "%a %b %d %H:%M:%S %Y", &tm);
    std::string started = buf;
    if (svg != nullptr) {
        if (write_svg(svg, lanes, master, started) != 0)
            return 1;
        printf("timeline of %d node%s written to %s\n", nnodes, nnodes > 1 ? "s" : "", svg);
        return 0;
    }
    print_table(lanes, master, started);
    return 0;
}
