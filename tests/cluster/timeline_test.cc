/*
 * `osk-cluster timeline` after a real switch-root update of four nodes: the
 * cluster witnesses every run log line by line, the table and the picture
 * show every node's phases in the order they happen, to the millisecond,
 * and the picture renders.
 */
#include <stdlib.h>

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

/* Milliseconds; precision is how far the table's rounding may be off. */
struct cell_t {
    long start = -1, length = -1, precision = 1;
};

/* node -> phase -> cell, from the text table ("0.366+662ms", "1.996+1.09s",
 * rejoined "3.091"). */
typedef std::map<int, std::map<std::string, cell_t>> table_t;

long parse_length(const std::string &t, long *precision)
{
    double v = atof(t.c_str());
    if (t.size() > 2 && t.compare(t.size() - 2, 2, "ms") == 0) {
        *precision = 1;
        return (long)v;
    }
    size_t dot = t.find('.');
    *precision = dot == std::string::npos || t.size() - dot - 2 >= 2 ? 10 : 100;
    return (long)(v * 1000 + 0.5);
}

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
            size_t plus = w[i].find('+');
            if (w[i] != "-")
                c.start = (long)(atof(w[i].c_str()) * 1000 + 0.5);
            if (plus != std::string::npos)
                c.length = parse_length(w[i].substr(plus + 1), &c.precision);
            t[node][head[i]] = c;
        }
    }
    return t;
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(Timeline, ShowsEveryNodesPhasesToTheMillisecond)
{
    const int nodes = 4;
    std::string dir = test_cluster_dir("tl");
    std::string why;
    ASSERT_EQ(test_cluster_up(dir, nodes, &why), 0) << why;
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
        if (!test_cluster_status(dir, &s) || s.size() != (size_t)nodes)
            return false;
        for (const test_node_status &n : s)
            if (n.root != 'B' || !n.integrated)
                return false;
        return true;
    })) << out;

    run_result table = test_cluster_cli(dir, {"timeline"});
    ASSERT_EQ(table.status, 0) << table.err;
    table_t t = parse_table(table.out);
    ASSERT_EQ(t.size(), (size_t)nodes) << table.out;
    for (auto &[node, cells] : t) {
        for (const char *p : {"verify", "extract", "install", "LILO", "down", "rejoined"})
            EXPECT_GE(cells[p].start, 0) << "node " << node << " " << p << "\n" << table.out;
        /* Installing real packages takes a measurable time on every node. */
        EXPECT_GT(cells["install"].length, 0) << "node " << node << "\n" << table.out;
        /* Each phase starts when the one before it has ended, or later. */
        const char *order[] = {"extract", "install", "waiting", "LILO", "down"};
        long end = 0, slack = 0;
        for (const char *p : order) {
            if (cells[p].start < 0)
                continue;
            EXPECT_GE(cells[p].start + slack, end) << "node " << node << " " << p << "\n"
                                                   << table.out;
            end = cells[p].start + cells[p].length;
            slack = cells[p].precision;
        }
        EXPECT_NEAR(cells["rejoined"].start, end, slack) << "node " << node << "\n" << table.out;
    }

    /* The witness copied node 0's run log line for line, each after its
     * time; it may still be catching up with the last lines. */
    std::string log = read_text(dir + "/node0/A/upper/var/log/osk/update"), copied;
    auto copy_is_whole = [&] {
        std::istringstream times(read_text(dir + "/node0/A/log-times/update"));
        copied.clear();
        for (std::string l; std::getline(times, l);) {
            size_t tab = l.find('\t');
            if (tab == std::string::npos || atoll(l.c_str()) <= 0)
                return false;
            copied += l.substr(tab + 1) + "\n";
        }
        return copied == log;
    };
    EXPECT_FALSE(log.empty());
    EXPECT_TRUE(wait_for_condition(100, 100, copy_is_whole)) << copied << "\n---\n" << log;

    /* The picture holds the same phases and renders. */
    std::string svg = dir + "/timeline.svg", png = dir + "/timeline.png";
    run_result drawn = test_cluster_cli(dir, {"timeline", "--svg", svg});
    ASSERT_EQ(drawn.status, 0) << drawn.err;
    EXPECT_NE(drawn.out.find(svg), std::string::npos);
    std::string s = read_text(svg);
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
                EXPECT_NEAR(seen[phase].length, cell.length, cell.precision)
                    << "node " << node << " " << phase;
            }
        }
    }
    EXPECT_EQ(lanes, nodes);
    std::string render = "rsvg-convert -o '" + png + "' '" + svg + "'";
    EXPECT_EQ(system(render.c_str()), 0) << "rsvg-convert, which tools/deps.sh installs";
    std::ifstream p(png, std::ios::binary);
    char magic[8] = {};
    p.read(magic, sizeof magic);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");

    EXPECT_EQ(test_cluster_down(dir), 0);
}

} // namespace
