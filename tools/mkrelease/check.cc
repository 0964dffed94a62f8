/*
 * The release check: a replay of the installer's steps in a scratch copy
 * of a node root, or what a dpkg status file alone can tell.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "check.h"
#include "mkrelease.h"
#include "privapt.h"
#include "sys.h"

#include "osk_banned.h"

/* What every node's root holds for the release's repository. */
static const char node_apt_conf[] =
    "Acquire::IndexTargets::deb::Packages::MetaKey \"$(COMPONENT)/binary-i386/Packages\";\n"
    "Acquire::AllowInsecureRepositories \"true\";\n"
    "APT::Get::AllowUnauthenticated \"true\";\n";
static const char node_apt_pin[] = "Package: *\nPin: origin \"\"\nPin-Priority: 1001\n";
static const char release_source[] = "deb file:/tmp/oskpackage Valtor-2-0 osk\n";

/* One stanza of a Packages index or a dpkg status file. */
struct stanza {
    std::map<std::string, std::string> f;
};

static std::vector<stanza> read_stanzas(const std::string &text)
{
    std::vector<stanza> v;
    std::istringstream in(text);
    std::string line, key;
    bool fresh = true;
    while (std::getline(in, line)) {
        if (line.empty()) {
            fresh = true;
            continue;
        }
        if (fresh)
            v.emplace_back();
        fresh = false;
        if (line[0] == ' ' || line[0] == '\t') {
            if (!key.empty())
                v.back().f[key] += "\n" + line;
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        key = line.substr(0, colon);
        size_t b = line.find_first_not_of(' ', colon + 1);
        v.back().f[key] = b == std::string::npos ? "" : line.substr(b);
    }
    return v;
}

static std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> v;
    std::string item;
    std::istringstream in(s);
    while (std::getline(in, item, sep)) {
        size_t b = item.find_first_not_of(" \t\n");
        size_t e = item.find_last_not_of(" \t\n");
        if (b != std::string::npos)
            v.push_back(item.substr(b, e - b + 1));
    }
    return v;
}

/* ---- the problems a transcript shows ---- */

static const struct {
    const char *dpkg_words;
    const char *script;
} scripts[] = {{"pre-installation", "preinst"},
               {"post-installation", "postinst"},
               {"pre-removal", "prerm"},
               {"post-removal", "postrm"}};

std::vector<std::string> mkrel_check_read_log(const std::string &log,
                                              const std::vector<std::string> &release)
{
    static const std::regex predep(R"(^ (\S+) pre-depends on (\S+)(.*)$)");
    static const std::regex dep(R"(^ (\S+) depends on (.+); however:$)");
    static const std::regex processing(R"(^dpkg: error processing package (\S+) )");
    static const std::regex script(R"(^ (?:installed|new|old) (\S+) package (\S+) script )"
                                   R"(subprocess returned error exit status (\d+))");
    static const std::regex apt_unmet(R"(^ (\S+) : (\S+): (.+)$)");
    static const std::regex apt_more(R"(^ {2,}(Depends|PreDepends|Pre-Depends): (.+)$)");
    std::set<std::string> in_release(release.begin(), release.end());
    std::vector<std::string> problems;
    std::set<std::string> named;
    std::string line, current, apt_pkg;
    std::istringstream in(log);
    std::smatch m;

    /* One line per package: the first thing that fails it. */
    auto add = [&](const std::string &pkg, const std::string &what) {
        if (named.insert(pkg).second)
            problems.push_back(pkg + ": " + what);
    };
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, predep)) {
            std::string dep_name = m[2].str();
            std::string dep_text = dep_name + m[3].str();
            if (in_release.count(dep_name))
                add(m[1], "pre-depends on " + dep_text + ", which only this release brings");
            else
                add(m[1], "unmet pre-dependency " + dep_text);
        } else if (std::regex_search(line, m, dep)) {
            add(m[1], "unmet dependency " + m[2].str());
        } else if (std::regex_search(line, m, processing)) {
            current = m[1];
        } else if (std::regex_search(line, m, script)) {
            std::string name = m[2];
            for (const auto &s : scripts)
                if (name == s.dpkg_words)
                    name = s.script;
            add(m[1], name + " fails (exit status " + m[3].str() + ")");
        } else if (line.find("conffile prompt") != std::string::npos && !current.empty()) {
            add(current, "stops at a conffile prompt");
        } else if (std::regex_search(line, m, apt_unmet) &&
                   (m[2] == "Depends" || m[2] == "PreDepends")) {
            apt_pkg = m[1];
            add(apt_pkg, "unmet dependency " + m[3].str());
        } else if (!apt_pkg.empty() && std::regex_search(line, m, apt_more)) {
            continue;
        } else {
            apt_pkg.clear();
        }
    }
    return problems;
}

/* ---- replay in a scratch copy of the node root ---- */

struct replay_ctx {
    std::string pkgdir; /* the staged release */
    std::string layers; /* overlay lowerdir */
    std::string scratch;
    std::vector<std::string> release; /* package names */
};

static int setup_fail(const std::string &what)
{
    fprintf(stderr, "%s: %s\n", what.c_str(), strerror(errno));
    return 2;
}

/* Mounts the scratch root and puts the release and the node's apt
 * configuration in it. Runs in the private namespaces. */
static int prepare_root(const replay_ctx &c, const std::string &mnt)
{
    std::string opts =
        "lowerdir=" + c.layers + ",upperdir=" + c.scratch + "/upper,workdir=" + c.scratch + "/work";
    std::string err;
    if (mount("overlay", mnt.c_str(), "overlay", 0, opts.c_str()) != 0)
        return setup_fail("cannot mount the node root " + c.layers);
    if (mkrel_mkdirs(mnt + "/proc") != 0 || mkrel_mkdirs(mnt + "/dev") != 0 ||
        mkrel_mkdirs(mnt + "/tmp") != 0)
        return setup_fail("cannot make the mount points");
    if (mount("proc", (mnt + "/proc").c_str(), "proc", 0, nullptr) != 0)
        return setup_fail("cannot mount /proc");
    if (mount("/dev", (mnt + "/dev").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return setup_fail("cannot bind /dev");
    mkrel_rm_tree(mnt + "/tmp/oskpackage");
    std::string sources;
    (void)mkrel_read_file(mnt + "/etc/apt/sources.list", &sources, &err);
    if (mkrel_run_checked({"cp", "-a", c.pkgdir, mnt + "/tmp/oskpackage"}, nullptr, &err) != 0 ||
        mkrel_write_file(mnt + "/etc/apt/apt.conf.d/99osk-node", node_apt_conf, 0644, &err) != 0 ||
        mkrel_write_file(mnt + "/etc/apt/preferences.d/99osk-node", node_apt_pin, 0644, &err) !=
            0 ||
        mkrel_write_file(mnt + "/etc/apt/sources.list", sources + release_source, 0644, &err) !=
            0) {
        fprintf(stderr, "%s\n", err.c_str());
        return 2;
    }
    return 0;
}

static int replay(const replay_ctx &c)
{
    std::string mnt = c.scratch + "/mnt";
    int r = prepare_root(c, mnt);
    if (r != 0)
        return r;

    mkrel_child how;
    how.env = {"DEBIAN_FRONTEND=noninteractive"};
    how.setup = [&mnt]() { return chroot(mnt.c_str()) != 0 || chdir("/") != 0 ? -1 : 0; };
    const std::vector<std::string> steps[] = {
        /* The installer's own form: apt refuses --fix-broken with update. */
        {"/usr/bin/apt-get", "update"},
        {"/usr/bin/dpkg", "--recursive", "--force-downgrade", "--install", "--force-confold",
         "--force-conflicts", "--force-overwrite", "/tmp/oskpackage/" MKREL_REPO_DIR},
        {"/usr/bin/apt-get", "--fix-broken", "-y", "-oDPkg::Options::=--force-confold", "install"},
    };
    const char *step_names[] = {"apt-get update", "dpkg --install", "apt-get --fix-broken"};
    std::vector<std::string> problems;
    for (size_t i = 0; i < 3; i++) {
        std::string log;
        if (mkrel_run(steps[i], nullptr, &log, &how) == 0)
            continue;
        problems = mkrel_check_read_log(log, c.release);
        if (problems.empty())
            problems.push_back(std::string(step_names[i]) + " fails: " + mkrel_apt_errors(log));
        break;
    }
    if (problems.empty()) {
        std::vector<std::string> query = {"/usr/bin/dpkg-query", "-W",
                                          "-f=${Package} ${db:Status-Abbrev}\n"};
        query.insert(query.end(), c.release.begin(), c.release.end());
        std::string out;
        (void)mkrel_run(query, &out, nullptr, &how);
        std::set<std::string> ok;
        std::istringstream in(out);
        std::string pkg, abbrev;
        while (in >> pkg >> abbrev)
            if (abbrev == "ii")
                ok.insert(pkg);
        for (const std::string &p : c.release)
            if (!ok.count(p))
                problems.push_back(p + ": not installed after the install steps");
    }
    for (const std::string &p : problems)
        printf("%s\n", p.c_str());
    return problems.empty() ? 0 : 1;
}

static int check_root(const std::string &pkgdir, const std::string &layers,
                      const std::vector<std::string> &release, std::vector<std::string> *problems,
                      std::string *err)
{
    replay_ctx c;
    c.pkgdir = pkgdir;
    c.layers = layers;
    c.release = release;
    if (mkrel_tempdir("osk-mkrelease-check", &c.scratch, err) != 0)
        return 1;
    for (const char *sub : {"/upper", "/work", "/mnt"})
        if (mkdir((c.scratch + sub).c_str(), 0755) != 0) {
            mkrel_rm_tree(c.scratch);
            return mkrel_fail_errno(err, "cannot make " + c.scratch + sub);
        }
    std::string out, diag;
    int r = mkrel_run_isolated([&c]() { return replay(c); }, &out, &diag);
    /* The namespace is gone with its mounts: only plain folders remain. */
    mkrel_rm_tree(c.scratch);
    if (r == 0 || r == 1) {
        *problems = split(out, '\n');
        return 0;
    }
    while (!diag.empty() && diag.back() == '\n')
        diag.pop_back();
    return mkrel_fail(err, "the release check could not run: " +
                               (diag.empty() ? std::string("no reason given")
                                             : diag.substr(diag.rfind('\n') + 1)));
}

/* ---- without a root: a status file ---- */

/* The first package of list (installed or in the release) satisfying one
 * "name (op version)" relation; Provides count without a version. */
static bool satisfies(const std::map<std::string, std::string> &versions,
                      const std::set<std::string> &provided, const std::string &relation)
{
    static const std::regex rel(R"(^([^ :(]+)(?::\S+)?\s*(?:\(\s*([<>=]+)\s*([^ )]+)\s*\))?)");
    std::smatch m;
    if (!std::regex_search(relation, m, rel))
        return false;
    auto it = versions.find(m[1]);
    if (it == versions.end())
        return !m[2].matched && provided.count(m[1]);
    if (!m[2].matched)
        return true;
    static const std::map<std::string, std::string> ops = {{"<<", "lt"}, {"<=", "le"}, {"=", "eq"},
                                                           {">=", "ge"}, {">>", "gt"}, {"<", "le"},
                                                           {">", "ge"}};
    auto op = ops.find(m[2]);
    return op != ops.end() &&
           mkrel_run({"dpkg", "--compare-versions", it->second, op->second, m[3]}, nullptr,
                     nullptr) == 0;
}

static bool satisfies_any(const std::map<std::string, std::string> &versions,
                          const std::set<std::string> &provided, const std::string &group)
{
    for (const std::string &alt : split(group, '|'))
        if (satisfies(versions, provided, alt))
            return true;
    return false;
}

static void add_provides(std::set<std::string> *provided, const std::string &field)
{
    for (const std::string &p : split(field, ','))
        provided->insert(p.substr(0, p.find_first_of(" (")));
}

static int check_status(const std::string &pkgdir, const std::string &status_path,
                        const std::vector<stanza> &index, std::vector<std::string> *problems,
                        std::string *err)
{
    std::string text;
    if (mkrel_read_file(status_path, &text, err) != 0)
        return 1;
    std::map<std::string, std::string> node, release;
    std::set<std::string> node_provides, release_provides;
    for (const stanza &s : read_stanzas(text)) {
        auto st = s.f.find("Status");
        if (st == s.f.end() || st->second.find(" installed") == std::string::npos)
            continue;
        node[s.f.at("Package")] = s.f.count("Version") ? s.f.at("Version") : "";
        if (s.f.count("Provides"))
            add_provides(&node_provides, s.f.at("Provides"));
    }
    for (const stanza &s : index) {
        release[s.f.at("Package")] = s.f.count("Version") ? s.f.at("Version") : "";
        if (s.f.count("Provides"))
            add_provides(&release_provides, s.f.at("Provides"));
    }

    std::set<std::string> named;
    for (const stanza &s : index) {
        const std::string &pkg = s.f.at("Package");
        if (!s.f.count("Pre-Depends"))
            continue;
        for (const std::string &group : split(s.f.at("Pre-Depends"), ',')) {
            if (satisfies_any(node, node_provides, group) ||
                !satisfies_any(release, release_provides, group))
                continue;
            problems->push_back(pkg + ": pre-depends on " + group +
                                ", which only this release brings");
            named.insert(pkg);
            break;
        }
    }

    /* apt's simulation of the install on that state, the release the only source. */
    mkrel_apt apt;
    mkrel_apt_setup setup;
    if (mkrel_tempdir("osk-mkrelease-sim", &apt.dir, err) != 0)
        return 1;
    setup.status = status_path;
    setup.sources_name = "oskpackage.list";
    setup.sources = "deb file:" + pkgdir + " Valtor-2-0 osk\n";
    setup.conf = node_apt_conf;
    setup.preferences = node_apt_pin;
    std::string out, diag;
    int r = mkrel_apt_prepare(&apt, setup, err);
    if (r == 0 && mkrel_apt_get(&apt, {"-q", "update"}, nullptr, &diag) != 0)
        r = mkrel_fail(err, "apt-get update fails on the release: " + mkrel_apt_errors(diag));
    if (r == 0) {
        std::vector<std::string> args = {"-s", "-y", "install"};
        for (const auto &p : release)
            args.push_back(p.first);
        diag.clear();
        if (mkrel_apt_get(&apt, args, &out, &diag) != 0) {
            std::vector<std::string> release_names;
            for (const auto &p : release)
                release_names.push_back(p.first);
            std::vector<std::string> found = mkrel_check_read_log(diag, release_names);
            if (found.empty())
                found.push_back("apt-get install fails: " + mkrel_apt_errors(diag));
            for (const std::string &f : found)
                if (!named.count(f.substr(0, f.find(':'))))
                    problems->push_back(f);
        }
    }
    mkrel_rm_tree(apt.dir);
    return r;
}

int mkrel_check(const std::string &pkgdir, const mkrel_check_target &target,
                std::vector<std::string> *problems, std::string *err)
{
    std::string text;
    if (mkrel_read_file(pkgdir + "/" MKREL_REPO_DIR "/Packages", &text, err) != 0)
        return 1;
    std::vector<stanza> index = read_stanzas(text);
    std::vector<std::string> names;
    for (const stanza &s : index) {
        if (!s.f.count("Package"))
            return mkrel_fail(err, "the release index has a stanza without Package");
        names.push_back(s.f.at("Package"));
    }
    problems->clear();
    if (!target.root.empty())
        return check_root(pkgdir, target.root, names, problems, err);
    return check_status(pkgdir, target.status, index, problems, err);
}
