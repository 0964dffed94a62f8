/*
 * osk-cluster timeline [--svg FILE]: what each node did during the last
 * update, read from the nodes' run logs and the supervisor's log after the
 * fact. One lane per node with its phases (verify, extract, install,
 * waiting, LILO, down) and the moment it rejoined, as a text table or as a
 * standalone SVG. Times are whole seconds, as the logs stamp them.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <fstream>
#include <string>
#include <vector>

#include "simcluster.h"
#include "sim_util.h"

#include "osk_banned.h"

namespace
{

enum { PH_VERIFY, PH_EXTRACT, PH_INSTALL, PH_WAITING, PH_LILO, PH_DOWN, PH_COUNT };

const char *const phase_name[PH_COUNT] = {"verify",  "extract", "install",
                                          "waiting", "LILO",    "down"};
const char *const phase_color[PH_COUNT] = {"#8da0cb", "#66c2a5", "#fc8d62",
                                           "#d9d9d9", "#e78ac3", "#555555"};

struct record_t {
    long t; /* seconds; -1 when the line carries no stamp */
    std::string text;
};

/* One run of `update`: the records after one log header. */
struct run_t {
    std::string cmd;
    std::vector<record_t> recs;
};

struct span_t {
    long start = -1, end = -1;
};

struct lane_t {
    int node;
    span_t ph[PH_COUNT];
    long rejoined = -1;
};

/* "{Sun Dec 06 14:36:23 UTC 2026} text": seconds and text, or t = -1. */
record_t parse_record(const std::string &line)
{
    record_t r{-1, line};
    size_t close = line.find("} ");
    if (line.empty() || line[0] != '{' || close == std::string::npos)
        return r;
    struct tm tm = {};
    char zone[16];
    int year;
    std::string stamp = line.substr(1, close - 1);
    const char *rest = strptime(stamp.c_str(), "%a %b %d %H:%M:%S", &tm);
    if (rest == nullptr || sscanf(rest, " %15s %d", zone, &year) != 2)
        return r;
    tm.tm_year = year - 1900;
    r.t = (long)timegm(&tm); /* one zone throughout: only differences matter */
    r.text = line.substr(close + 2);
    return r;
}

/* Every run in a run log, oldest first. */
std::vector<run_t> read_runs(const std::string &path)
{
    std::vector<run_t> runs;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("= CMD: ", 0) == 0) {
            runs.push_back(run_t{line.substr(7), {}});
            continue;
        }
        record_t r = parse_record(line);
        if (r.t >= 0 && !runs.empty())
            runs.back().recs.push_back(r);
    }
    return runs;
}

long run_start(const run_t &r)
{
    return r.recs.empty() ? -1 : r.recs.front().t;
}

/* The latest run of FILE in either root of node n that started at or after
 * since and, when want_child is 0 or 1, is or is not another node's child. */
bool latest_run(const std::string &dir, int n, const char *file, long since, int want_child,
                run_t *out)
{
    bool found = false;
    for (char root : {'A', 'B'}) {
        std::string path =
            dir + "/node" + std::to_string(n) + "/" + root + "/upper/var/log/osk/" + file;
        for (const run_t &r : read_runs(path)) {
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
long find_at(const run_t &r, const char *what, size_t from = 0, size_t *index = nullptr)
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
void reboot_span(const std::string &dir, int n, long since, lane_t *lane)
{
    std::ifstream in(dir + "/supervisor.log");
    std::string line, node = "node " + std::to_string(n) + ": ";
    long down = -1;
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
}

/* Phases of node n; master is the updating node's run. */
lane_t node_lane(const std::string &dir, int n, const run_t &own, bool has_own, const run_t &master,
                 bool is_master, long t0)
{
    lane_t l;
    l.node = n;
    run_t verify;
    if (latest_run(dir, n, "update_verify", t0, -1, &verify))
        l.ph[PH_VERIFY] = {run_start(verify), verify.recs.back().t};
    if (has_own) {
        long extract = find_at(own, "Extracting...");
        long install = find_at(own, "Installing to partition");
        long done = find_at(own, "Done installing new version.");
        l.ph[PH_EXTRACT] = {extract, install};
        l.ph[PH_INSTALL] = {install, done};
    }
    l.ph[PH_LILO] = lilo_span(master, n, is_master);
    if (l.ph[PH_INSTALL].end >= 0 && l.ph[PH_LILO].start >= 0)
        l.ph[PH_WAITING] = {l.ph[PH_INSTALL].end, l.ph[PH_LILO].start};
    reboot_span(dir, n, l.ph[PH_LILO].start >= 0 ? l.ph[PH_LILO].start : t0, &l);
    for (span_t &s : l.ph) {
        if (s.start < 0 || s.end < s.start)
            s = span_t{};
    }
    return l;
}

void print_table(const std::vector<lane_t> &lanes, int master, const std::string &started)
{
    printf("update from node %d, started %s; seconds from then, start+length\n", master,
           started.c_str());
    printf("%-5s", "node");
    for (const char *p : phase_name)
        printf(" %-9s", p);
    printf(" %s\n", "rejoined");
    for (const lane_t &l : lanes) {
        printf("%-5d", l.node);
        for (const span_t &s : l.ph) {
            char cell[32];
            if (s.start < 0)
                snprintf(cell, sizeof cell, "-");
            else
                snprintf(cell, sizeof cell, "%ld+%ld", s.start, s.end - s.start);
            printf(" %-9s", cell);
        }
        if (l.rejoined < 0)
            printf(" -\n");
        else
            printf(" %ld\n", l.rejoined);
    }
}

int write_svg(const char *path, const std::vector<lane_t> &lanes, int master,
              const std::string &started)
{
    long total = 1;
    for (const lane_t &l : lanes) {
        for (const span_t &s : l.ph)
            total = s.end > total ? s.end : total;
        total = l.rejoined > total ? l.rejoined : total;
    }
    const int left = 70, lane_h = 34, top = 50, width = 900;
    double px = (double)width / (double)(total + 1); /* room for the last marker */
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
            "(%ld s)</text>\n",
            left + width + 30, height, master, started.c_str(), total);
    /* A tick every 5, 10, 30 or 60 seconds, whichever gives at most 20. */
    long step = 5;
    for (long s : {5L, 10L, 30L, 60L, 300L}) {
        step = s;
        if (total / s <= 20)
            break;
    }
    for (long t = 0; t <= total; t += step) {
        double x = left + (double)t * px;
        fprintf(f,
                "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#eeeeee\"/>\n"
                "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\" fill=\"#777777\">%lds</text>\n",
                x, top - 8, x, top + lane_h * (int)lanes.size(), x, top - 12, t);
    }
    for (size_t i = 0; i < lanes.size(); i++) {
        const lane_t &l = lanes[i];
        int y = top + lane_h * (int)i;
        fprintf(f, "<g data-node=\"%d\">\n<text x=\"10\" y=\"%d\">node %d</text>\n", l.node,
                y + lane_h / 2 + 4, l.node);
        for (int p = 0; p < PH_COUNT; p++) {
            const span_t &s = l.ph[p];
            if (s.start < 0)
                continue;
            double x = left + (double)s.start * px;
            double w = (double)(s.end - s.start) * px;
            if (w < 2)
                w = 2; /* a step within one second still shows */
            fprintf(f,
                    "<rect data-phase=\"%s\" data-start=\"%ld\" data-length=\"%ld\" x=\"%.1f\" "
                    "y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>node %d %s: "
                    "%ld s from %ld s</title></rect>\n",
                    phase_name[p], s.start, s.end - s.start, x, y + 4, w, lane_h - 8,
                    phase_color[p], l.node, phase_name[p], s.end - s.start, s.start);
            if (w > 24)
                fprintf(f,
                        "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\" font-size=\"10\" "
                        "fill=\"%s\">%lds</text>\n",
                        x + w / 2, y + lane_h / 2 + 4, p == PH_DOWN ? "white" : "black",
                        s.end - s.start);
        }
        if (l.rejoined >= 0) {
            double x = left + (double)l.rejoined * px;
            fprintf(
                f,
                "<path data-phase=\"rejoined\" data-start=\"%ld\" d=\"M%.1f %d l6 %d l-6 %d "
                "l-6 -%d z\" fill=\"#1b9e77\"><title>node %d rejoined at %ld s</title></path>\n",
                l.rejoined, x, y + 4, (lane_h - 8) / 2, (lane_h - 8) / 2, (lane_h - 8) / 2, l.node,
                l.rejoined);
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

} // namespace

int cmd_timeline(int argc, char **argv)
{
    const char *svg = nullptr;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--svg") == 0 && i + 1 < argc) {
            svg = argv[++i];
        } else {
            fprintf(stderr, "usage: osk-cluster timeline [--svg FILE]\n");
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
        fprintf(stderr, "osk-cluster: no cluster in %s\n", dir.c_str());
        return 1;
    }

    /* The updating node: the latest run of update that no other node started. */
    int master = -1;
    run_t mrun;
    for (int n = 0; n < nnodes; n++) {
        run_t r;
        if (latest_run(dir, n, "update", 0, 0, &r) && r.cmd.find("--verify") == std::string::npos &&
            (master < 0 || run_start(r) > run_start(mrun))) {
            master = n;
            mrun = r;
        }
    }
    if (master < 0) {
        fprintf(stderr, "osk-cluster: no update in the nodes' run logs\n");
        return 1;
    }
    long t0 = run_start(mrun);
    std::vector<lane_t> lanes;
    for (int n = 0; n < nnodes; n++) {
        /* A node installs in its own child run, except the updating node
         * without --quick, which installs in the run itself. */
        run_t own = mrun;
        bool has_own = latest_run(dir, n, "update", t0, 1, &own) ||
                       (n == master && find_at(mrun, "Extracting...") >= 0);
        lane_t l = node_lane(dir, n, own, has_own, mrun, n == master, t0);
        /* Seconds from the start of the update. */
        for (span_t &s : l.ph) {
            if (s.start >= 0)
                s = {s.start - t0, s.end - t0};
        }
        if (l.rejoined >= 0)
            l.rejoined -= t0;
        lanes.push_back(l);
    }
    /* Back to the stamp's own fields: t0 was made from them with timegm(). */
    time_t t = (time_t)t0;
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
