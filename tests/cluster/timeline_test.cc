/*
 * `osk-cluster timeline` after a real switch-root update of two nodes: the
 * table and the picture show every node's phases in the order they happen,
 * at the times the run logs give, and the picture renders.
 */
#include <stdlib.h>
#include <time.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mkrelease.h"
#include "test_cluster.h"

#include "osk_banned.h"

namespace
{

struct cell_t {
    long start = -1, length = -1;
};

/* node -> phase -> cell, from the text table. */
typedef std::map<int, std::map<std::string, cell_t>> table_t;

table_t parse_table(const std::string &text)
{
    table_t t;
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> head;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::vector<std::string> w;
        for (std::string s; f >> s;)
            w.push_back(s);
        if (!w.empty() && w[0] == "node") {
            head = w;
            continue;
        }
        if (head.empty() || w.size() != head.size())
            continue;
        int node = atoi(w[0].c_str());
        for (size_t i = 1; i < w.size(); i++) {
            cell_t c;
            if (w[i] != "-")
                sscanf(w[i].c_str(), "%ld+%ld", &c.start, &c.length);
            t[node][head[i]] = c;
        }
    }
    return t;
}

/* Seconds of a run log record's stamp "{Sun Dec 06 14:36:23 UTC 2026} ". */
long stamp_seconds(const std::string &record)
{
    struct tm tm = {};
    int year = 0;
    char zone[16];
    const char *rest = strptime(record.c_str() + 1, "%a %b %d %H:%M:%S", &tm);
    if (rest == nullptr || sscanf(rest, " %15s %d", zone, &year) != 2)
        return -1;
    tm.tm_year = year - 1900;
    return (long)timegm(&tm);
}

/* The first record of the log's last run that holds what. */
std::string last_run_record(const std::string &log, const std::string &what)
{
    size_t run = log.rfind("= CMD: ");
    size_t at = log.find(what, run == std::string::npos ? 0 : run);
    if (at == std::string::npos)
        return "";
    size_t bol = log.rfind('\n', at);
    return log.substr(bol == std::string::npos ? 0 : bol + 1, at - bol);
}

TEST(Timeline, ShowsEveryNodesPhasesInOrderAtTheLoggedTimes)
{
    std::string dir = test_cluster_dir("tl");
    std::string why;
    ASSERT_EQ(test_cluster_up(dir, 2, &why), 0) << why;
    std::string err;
    ASSERT_EQ(mkrel_make({"-o", dir + "/pkghost/r.tgz", "--release", "2.2.3.10", "--package",
                          "osk=2.2.3.10-1"},
                         &err),
              0)
        << err;
    ASSERT_EQ(test_cluster_exec(dir, 0, "rcp pkghost:/r.tgz /var/tmp/r.tgz"), 0);
    std::string out;
    /* The node running update reboots itself, which may end the session first. */
    (void)test_cluster_exec(dir, 0, "update --file /var/tmp/r.tgz", &out, &out);
    EXPECT_TRUE(wait_for_condition(600, 100, [&] {
        std::vector<test_node_status> s;
        return test_cluster_status(dir, &s) && s.size() == 2 && s[0].root == 'B' &&
               s[1].root == 'B' && s[0].integrated && s[1].integrated;
    })) << out;

    run_result table = test_cluster_cli(dir, {"timeline"});
    ASSERT_EQ(table.status, 0) << table.err;
    table_t t = parse_table(table.out);
    ASSERT_EQ(t.size(), 2u) << table.out;
    for (auto &[node, cells] : t) {
        for (const char *p : {"verify", "extract", "install", "LILO", "down", "rejoined"})
            EXPECT_GE(cells[p].start, 0) << "node " << node << " " << p << "\n" << table.out;
        /* Each phase starts when the one before it has ended, or later. */
        const char *order[] = {"extract", "install", "waiting", "LILO", "down"};
        long end = 0;
        for (const char *p : order) {
            if (cells[p].start < 0)
                continue;
            EXPECT_GE(cells[p].start, end) << "node " << node << " " << p << "\n" << table.out;
            end = cells[p].start + cells[p].length;
        }
        EXPECT_EQ(cells["rejoined"].start, end) << "node " << node << "\n" << table.out;
    }
    /* Node 0's install starts when its run log says, counted from its start. */
    std::string log;
    ASSERT_EQ(test_cluster_exec(dir, 0, "cat /altroot/var/log/osk/update", &log), 0);
    long start = stamp_seconds(last_run_record(log, "Start: "));
    long install = stamp_seconds(last_run_record(log, "Installing to partition"));
    ASSERT_GE(start, 0);
    EXPECT_EQ(t[0]["install"].start, install - start) << table.out;

    /* The picture holds the same phases and renders. */
    std::string svg = dir + "/timeline.svg", png = dir + "/timeline.png";
    run_result drawn = test_cluster_cli(dir, {"timeline", "--svg", svg});
    ASSERT_EQ(drawn.status, 0) << drawn.err;
    EXPECT_NE(drawn.out.find(svg), std::string::npos);
    std::ifstream in(svg);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    std::regex g("<g data-node=\"(\\d)\">([^]*?)</g>");
    std::regex r("data-phase=\"(\\w+)\" data-start=\"(-?\\d+)\"(?: data-length=\"(\\d+)\")?");
    int lanes = 0;
    for (std::sregex_iterator i(s.begin(), s.end(), g), e; i != e; ++i, ++lanes) {
        int node = std::stoi((*i)[1]);
        std::string body = (*i)[2];
        std::map<std::string, cell_t> seen;
        for (std::sregex_iterator j(body.begin(), body.end(), r); j != e; ++j)
            seen[(*j)[1]] = {std::stol((*j)[2]), (*j)[3].matched ? std::stol((*j)[3]) : -1};
        for (auto &[phase, cell] : t[node]) {
            if (cell.start < 0)
                continue;
            EXPECT_EQ(seen[phase].start, cell.start) << "node " << node << " " << phase;
            if (phase != "rejoined") {
                EXPECT_EQ(seen[phase].length, cell.length) << "node " << node << " " << phase;
            }
        }
    }
    EXPECT_EQ(lanes, 2);
    std::string render = "rsvg-convert -o '" + png + "' '" + svg + "'";
    EXPECT_EQ(system(render.c_str()), 0) << "rsvg-convert, which tools/deps.sh installs";
    std::ifstream p(png, std::ios::binary);
    char magic[8] = {};
    p.read(magic, sizeof magic);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");

    EXPECT_EQ(test_cluster_down(dir), 0);
}

} // namespace
