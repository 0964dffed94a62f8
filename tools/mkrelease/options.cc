/*
 * The release description language: command-line options, and manifest
 * files whose lines are the same options without the leading "--".
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>

#include "mkrelease.h"

#include "osk_banned.h"

const char mkrel_usage[] =
    "Usage: osk-mkrelease -o FILE [options]\n"
    "       osk-mkrelease --manifest FILE [options]\n"
    "Makes an update package: an archive holding oskpackage/ with the apt repository\n"
    "oskpackage/" MKREL_REPO_DIR "/ (.deb files and their Packages index)\n"
    "and the release's flag, list and script files.\n"
    "\n"
    "Release:\n"
    "  -o, --output PATH        where to write the archive (a directory for --format dir)\n"
    "  --release VER            release version: the Release-Version field of every\n"
    "                           package and the version of packages given without one\n"
    "  --format FMT             tar, gzip (default), bzip2, v7tar (old tar without the\n"
    "                           ustar magic), dir (no archive)\n"
    "  --manifest FILE          read more options from FILE, one per line without\n"
    "                           \"--\": \"key value\" or \"key\"; \"#\" starts a comment\n"
    "  --flag NAME              empty flag file: nopivot, noreboot, partial,\n"
    "                           setup_localrevert, doreset (repeatable)\n"
    "  --patchagainst LIST      version list files, one version a line; LIST is\n"
    "  --simple-list LIST       comma-separated, an empty LIST makes an empty file\n"
    "  --distant-list LIST\n"
    "  --kill LIST              process names for the \"kill\" file\n"
    "  --obsolete LIST          package names for the \"obsolete\" file\n"
    "  --preupdate TEXT         \"preupdate\" script: #!/bin/sh and TEXT (repeatable,\n"
    "                           one line each)\n"
    "  --preupdate-file PATH    \"preupdate\" script copied from PATH\n"
    "  --add-file REL=TEXT      any file under oskpackage/ (TEXT plus a line end)\n"
    "  --deb-suffix S           .deb names are NAME_VERSION_S.deb (default i386)\n"
    "  --no-packages            an empty repository (no --package given means one\n"
    "                           package \"osk\" at the release version)\n"
    "\n"
    "Debian packages and the release check:\n"
    "  --debian NAME[=VER]      a package of the Debian archive (repeatable): apt,\n"
    "                           run on the node state, adds what it needs that the\n"
    "                           node lacks or has too old; all shipped as they are\n"
    "  --against ROOT           the node state: a node root, or an overlay lowerdir\n"
    "                           list (highest layer first)\n"
    "  --against-status FILE    the node state as a dpkg status file\n"
    "  --cache DIR              download cache of --debian, kept between runs\n"
    "                           (default: mkrelease-cache in the build folder)\n"
    "  --check ROOT             replay the installer's steps on a scratch copy of\n"
    "                           ROOT; a release that would fail is not written\n"
    "  --check-status FILE      check what a dpkg status file alone can tell\n"
    "  --no-check               no check (it is on for releases built --against)\n"
    "\n"
    "Packages (the options after --package apply to that package):\n"
    "  --package NAME[=VER]     add a package; VER defaults to the release version\n"
    "  --deb PATH               add an existing .deb file as it is\n"
    "  --arch ARCH              Architecture field (default all)\n"
    "  --depends TEXT           Depends field\n"
    "  --provides LIST          Provides entries, comma-separated\n"
    "  --toc N                  adds the Provides entry osk-toc-N\n"
    "  --handshake N            adds the Provides entry osk-handshake-N\n"
    "  --field 'Name: value'    any other control field\n"
    "  --preinst TEXT           maintainer script lines (repeatable), after #!/bin/sh\n"
    "  --postinst TEXT          and PKG=NAME VER=VERSION; the script ends with exit 0\n"
    "  --prerm TEXT\n"
    "  --postrm TEXT\n"
    "  --postinst-fail          the postinst exits 1\n"
    "  --postinst-marker PATH   the postinst appends \"NAME VERSION ARGS\" to PATH\n"
    "  --payload PATH=TEXT      install PATH holding TEXT; every package also installs\n"
    "                           /opt/osk/share/NAME.version holding its version\n"
    "\n"
    "Faults (repeatable):\n"
    "  --fault bad-md5=PKG      wrong MD5sum for PKG in the index\n"
    "  --fault no-md5=PKG       no MD5sum line for PKG\n"
    "  --fault md5-first=PKG    PKG's MD5sum line before its Filename line\n"
    "  --fault corrupt-deb=PKG  PKG's .deb damaged after indexing\n"
    "  --fault missing-deb=PKG  PKG indexed but its .deb left out\n"
    "  --fault no-index         no Packages file\n"
    "  --fault truncate[=N]     archive cut to N bytes (default: half)\n"
    "\n"
    "Example:\n"
    "  osk-mkrelease -o r.tgz --release 2.2.3.10 \\\n"
    "      --package osk=2.2.3.10-1 --depends 'osk-base (= 2.2.3.10-1)' --toc 12 \\\n"
    "      --handshake 5 --postinst-marker /var/opt/osk/postinst.log \\\n"
    "      --package osk-base=2.2.3.10-1 --flag noreboot --patchagainst 2.2.3.9\n";

enum opt_id {
    O_OUTPUT,
    O_RELEASE,
    O_FORMAT,
    O_MANIFEST,
    O_FLAG,
    O_PATCHAGAINST,
    O_SIMPLE_LIST,
    O_DISTANT_LIST,
    O_KILL,
    O_OBSOLETE,
    O_PREUPDATE,
    O_PREUPDATE_FILE,
    O_ADD_FILE,
    O_DEB_SUFFIX,
    O_NO_PACKAGES,
    O_DEBIAN,
    O_AGAINST,
    O_AGAINST_STATUS,
    O_CACHE,
    O_CHECK,
    O_CHECK_STATUS,
    O_NO_CHECK,
    O_PACKAGE,
    O_DEB,
    O_ARCH,
    O_DEPENDS,
    O_PROVIDES,
    O_TOC,
    O_HANDSHAKE,
    O_FIELD,
    O_PREINST,
    O_POSTINST,
    O_PRERM,
    O_POSTRM,
    O_POSTINST_FAIL,
    O_POSTINST_MARKER,
    O_PAYLOAD,
    O_FAULT,
};

struct opt_def {
    const char *name;
    int has_arg;
    opt_id id;
};

static const opt_def opts[] = {
    {"output", 1, O_OUTPUT},
    {"release", 1, O_RELEASE},
    {"format", 1, O_FORMAT},
    {"manifest", 1, O_MANIFEST},
    {"flag", 1, O_FLAG},
    {"patchagainst", 1, O_PATCHAGAINST},
    {"simple-list", 1, O_SIMPLE_LIST},
    {"distant-list", 1, O_DISTANT_LIST},
    {"kill", 1, O_KILL},
    {"obsolete", 1, O_OBSOLETE},
    {"preupdate", 1, O_PREUPDATE},
    {"preupdate-file", 1, O_PREUPDATE_FILE},
    {"add-file", 1, O_ADD_FILE},
    {"deb-suffix", 1, O_DEB_SUFFIX},
    {"no-packages", 0, O_NO_PACKAGES},
    {"debian", 1, O_DEBIAN},
    {"against", 1, O_AGAINST},
    {"against-status", 1, O_AGAINST_STATUS},
    {"cache", 1, O_CACHE},
    {"check", 1, O_CHECK},
    {"check-status", 1, O_CHECK_STATUS},
    {"no-check", 0, O_NO_CHECK},
    {"package", 1, O_PACKAGE},
    {"deb", 1, O_DEB},
    {"arch", 1, O_ARCH},
    {"depends", 1, O_DEPENDS},
    {"provides", 1, O_PROVIDES},
    {"toc", 1, O_TOC},
    {"handshake", 1, O_HANDSHAKE},
    {"field", 1, O_FIELD},
    {"preinst", 1, O_PREINST},
    {"postinst", 1, O_POSTINST},
    {"prerm", 1, O_PRERM},
    {"postrm", 1, O_POSTRM},
    {"postinst-fail", 0, O_POSTINST_FAIL},
    {"postinst-marker", 1, O_POSTINST_MARKER},
    {"payload", 1, O_PAYLOAD},
    {"fault", 1, O_FAULT},
};

static const char *const flag_names[] = {"nopivot", "noreboot", "partial", "setup_localrevert",
                                         "doreset"};

static const opt_def *find_opt(const std::string &name)
{
    for (const opt_def &o : opts)
        if (name == o.name)
            return &o;
    return nullptr;
}

static std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

static std::vector<std::string> split_list(const std::string &s)
{
    std::vector<std::string> v;
    size_t start = 0;
    if (trim(s).empty())
        return v;
    for (;;) {
        size_t comma = s.find(',', start);
        std::string item =
            trim(s.substr(start, comma == std::string::npos ? comma : comma - start));
        if (!item.empty())
            v.push_back(item);
        if (comma == std::string::npos)
            return v;
        start = comma + 1;
    }
}

/* "KEY=TEXT" with a non-empty KEY. */
static bool split_assign(const std::string &s, std::string *key, std::string *text)
{
    size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    *key = s.substr(0, eq);
    *text = s.substr(eq + 1);
    return true;
}

static bool parse_number(const std::string &s, long *out)
{
    char *end;
    if (s.empty())
        return false;
    *out = strtol(s.c_str(), &end, 10);
    return *end == '\0' && *out >= 0;
}

/* Shell single-quoting, so marker paths with blanks survive the script. */
static std::string shell_quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

static int parse_fault(mkrel_release *rel, const std::string &fault_text, std::string *err)
{
    static const struct {
        const char *name;
        mkrel_fault_kind kind;
    } per_package[] = {{"bad-md5", MKREL_BAD_MD5},
                       {"no-md5", MKREL_NO_MD5},
                       {"md5-first", MKREL_MD5_FIRST},
                       {"corrupt-deb", MKREL_CORRUPT_DEB},
                       {"missing-deb", MKREL_MISSING_DEB}};
    std::string name = fault_text, arg;
    bool has_arg = split_assign(fault_text, &name, &arg);
    mkrel_fault f{};

    if (name == "no-index" && !has_arg) {
        f.kind = MKREL_NO_INDEX;
        rel->faults.push_back(f);
        return 0;
    }
    if (name == "truncate") {
        f.kind = MKREL_TRUNCATE;
        if (has_arg && !parse_number(arg, &f.size)) {
            *err = "truncate needs a byte count: " + fault_text;
            return 1;
        }
        rel->faults.push_back(f);
        return 0;
    }
    for (const auto &p : per_package) {
        if (name == p.name && has_arg && !arg.empty()) {
            f.kind = p.kind;
            f.package = arg;
            rel->faults.push_back(f);
            return 0;
        }
    }
    *err = "unknown fault: " + fault_text;
    return 1;
}

static int set_format(mkrel_release *rel, const std::string &val, std::string *err)
{
    static const struct {
        const char *name;
        mkrel_format format;
    } formats[] = {{"tar", MKREL_TAR},
                   {"gzip", MKREL_GZIP},
                   {"bzip2", MKREL_BZIP2},
                   {"v7tar", MKREL_V7TAR},
                   {"dir", MKREL_DIR}};
    for (const auto &f : formats) {
        if (val == f.name) {
            rel->format = f.format;
            return 0;
        }
    }
    *err = "unknown format: " + val;
    return 1;
}

static int add_flag(mkrel_release *rel, const std::string &val, std::string *err)
{
    for (const char *f : flag_names) {
        if (val == f) {
            rel->flags.push_back(val);
            return 0;
        }
    }
    *err = "unknown flag file: " + val;
    return 1;
}

static int read_preupdate(mkrel_release *rel, const std::string &val, std::string *err)
{
    std::ifstream f(val, std::ios::binary);
    if (!f) {
        *err = "cannot read " + val;
        return 1;
    }
    rel->preupdate = std::string(std::istreambuf_iterator<char>(f), {});
    return 0;
}

static int add_extra_file(mkrel_release *rel, const std::string &val, std::string *err)
{
    std::string key, text;
    if (!split_assign(val, &key, &text)) {
        *err = "--add-file needs REL=TEXT: " + val;
        return 1;
    }
    rel->extra.push_back({key, text + "\n"});
    return 0;
}

static int add_package(mkrel_release *rel, const std::string &val, std::string *err)
{
    mkrel_package p;
    if (!split_assign(val, &p.name, &p.version))
        p.name = val;
    if (p.name.empty()) {
        *err = "--package needs a name";
        return 1;
    }
    rel->packages.push_back(p);
    return 0;
}

static int apply_release_opt(mkrel_release *rel, opt_id id, const std::string &val,
                             std::string *err)
{
    switch (id) {
    case O_OUTPUT:
        rel->output = val;
        return 0;
    case O_RELEASE:
        rel->version = val;
        return 0;
    case O_FORMAT:
        return set_format(rel, val, err);
    case O_MANIFEST:
        return mkrel_read_manifest(rel, val, err);
    case O_FLAG:
        return add_flag(rel, val, err);
    case O_PATCHAGAINST:
        rel->patchagainst = split_list(val);
        return 0;
    case O_SIMPLE_LIST:
        rel->simple_list = split_list(val);
        return 0;
    case O_DISTANT_LIST:
        rel->distant_list = split_list(val);
        return 0;
    case O_KILL:
        rel->kill = split_list(val);
        return 0;
    case O_OBSOLETE:
        rel->obsolete = split_list(val);
        return 0;
    case O_PREUPDATE:
        if (!rel->preupdate)
            rel->preupdate = "#!/bin/sh\n";
        *rel->preupdate += val + "\n";
        return 0;
    case O_PREUPDATE_FILE:
        return read_preupdate(rel, val, err);
    case O_ADD_FILE:
        return add_extra_file(rel, val, err);
    case O_DEB_SUFFIX:
        rel->deb_suffix = val;
        return 0;
    case O_NO_PACKAGES:
        rel->no_packages = true;
        return 0;
    case O_DEBIAN:
        if (val.empty() || val[0] == '=') {
            *err = "--debian needs a package name";
            return 1;
        }
        rel->debian.push_back(val);
        return 0;
    case O_AGAINST:
        rel->against_root = val;
        return 0;
    case O_AGAINST_STATUS:
        rel->against_status = val;
        return 0;
    case O_CACHE:
        rel->cache = val;
        return 0;
    case O_CHECK:
        rel->check_root = val;
        return 0;
    case O_CHECK_STATUS:
        rel->check_status = val;
        return 0;
    case O_NO_CHECK:
        rel->no_check = true;
        return 0;
    case O_PACKAGE:
        return add_package(rel, val, err);
    case O_DEB: {
        mkrel_package p;
        p.deb = val;
        rel->packages.push_back(p);
        return 0;
    }
    case O_FAULT:
        return parse_fault(rel, val, err);
    default:
        *err = "internal: option not handled";
        return 1;
    }
}

static int apply_package_opt(mkrel_package *p, opt_id id, const std::string &val, std::string *err)
{
    std::string key, text;
    long n;

    if (!p->deb.empty()) {
        *err = "a package added with --deb takes no package options";
        return 1;
    }
    switch (id) {
    case O_ARCH:
        p->arch = val;
        return 0;
    case O_DEPENDS:
        p->depends = val;
        return 0;
    case O_PROVIDES:
        for (const std::string &s : split_list(val))
            p->provides.push_back(s);
        return 0;
    case O_TOC:
    case O_HANDSHAKE:
        if (!parse_number(val, &n)) {
            *err = "not a number: " + val;
            return 1;
        }
        p->provides.push_back((id == O_TOC ? "osk-toc-" : "osk-handshake-") + val);
        return 0;
    case O_FIELD:
        if (val.find(": ") == std::string::npos) {
            *err = "--field needs 'Name: value': " + val;
            return 1;
        }
        p->fields.push_back(val);
        return 0;
    case O_PREINST:
        p->preinst.push_back(val);
        return 0;
    case O_POSTINST:
        p->postinst.push_back(val);
        return 0;
    case O_PRERM:
        p->prerm.push_back(val);
        return 0;
    case O_POSTRM:
        p->postrm.push_back(val);
        return 0;
    case O_POSTINST_FAIL:
        p->postinst.push_back("exit 1");
        return 0;
    case O_POSTINST_MARKER: {
        std::string q = shell_quote(val);
        p->postinst.push_back("mkdir -p \"$(dirname " + q + ")\"");
        p->postinst.push_back("echo \"$PKG $VER $*\" >> " + q);
        return 0;
    }
    case O_PAYLOAD:
        if (!split_assign(val, &key, &text) || key[0] != '/') {
            *err = "--payload needs /PATH=TEXT: " + val;
            return 1;
        }
        p->files.push_back({key, text + "\n"});
        return 0;
    default:
        *err = "internal: option not handled";
        return 1;
    }
}

/* One option: name without dashes, its value ("" when it takes none). */
static int apply_opt(mkrel_release *rel, const opt_def *o, const std::string &val, std::string *err)
{
    if (o->id >= O_ARCH && o->id <= O_PAYLOAD) {
        if (rel->packages.empty()) {
            *err = std::string("--") + o->name + " must follow a --package";
            return 1;
        }
        return apply_package_opt(&rel->packages.back(), o->id, val, err);
    }
    return apply_release_opt(rel, o->id, val, err);
}

int mkrel_parse_args(mkrel_release *rel, const std::vector<std::string> &args, std::string *err)
{
    for (size_t i = 0; i < args.size(); i++) {
        std::string name = args[i], val;
        bool inline_val = false;

        if (name == "-o") {
            name = "--output";
        } else if (name.rfind("--", 0) != 0) {
            *err = "unexpected argument: " + name;
            return 1;
        }
        name = name.substr(2);
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            val = name.substr(eq + 1);
            name = name.substr(0, eq);
            inline_val = true;
        }
        const opt_def *o = find_opt(name);
        if (!o) {
            *err = "unknown option: --" + name;
            return 1;
        }
        if (o->has_arg && !inline_val) {
            if (i + 1 >= args.size()) {
                *err = "--" + name + " needs a value";
                return 1;
            }
            val = args[++i];
        } else if (!o->has_arg && inline_val) {
            *err = "--" + name + " takes no value";
            return 1;
        }
        if (apply_opt(rel, o, val, err) != 0)
            return 1;
    }
    return 0;
}

int mkrel_read_manifest(mkrel_release *rel, const std::string &path, std::string *err)
{
    std::ifstream f(path);
    std::string line;
    int lineno = 0;

    if (!f) {
        *err = "cannot read manifest " + path;
        return 1;
    }
    while (std::getline(f, line)) {
        lineno++;
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t sp = line.find_first_of(" \t");
        std::string name = line.substr(0, sp);
        std::string val = sp == std::string::npos ? "" : trim(line.substr(sp));
        const opt_def *o = find_opt(name);
        std::string why;

        /* Files named in a manifest travel with it. */
        if (o && (o->id == O_DEB || o->id == O_PREUPDATE_FILE) && !val.empty() && val[0] != '/' &&
            path.find('/') != std::string::npos)
            val = path.substr(0, path.rfind('/') + 1) + val;
        if (!o || o->id == O_MANIFEST)
            why = "unknown key " + name;
        else if (!o->has_arg && !val.empty())
            why = name + " takes no value";
        else if (apply_opt(rel, o, val, &why) == 0)
            continue;
        *err = path + ":" + std::to_string(lineno) + ": " + why;
        return 1;
    }
    return 0;
}

int mkrel_make(const std::vector<std::string> &args, std::string *err)
{
    mkrel_release rel;
    if (mkrel_parse_args(&rel, args, err) != 0)
        return 1;
    return mkrel_build(&rel, err);
}
