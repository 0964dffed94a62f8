/*
 * The private apt of the release builder.
 */
#include <sstream>

#include "privapt.h"
#include "sys.h"

#include "osk_banned.h"

int mkrel_apt_prepare(mkrel_apt *apt, const mkrel_apt_setup &setup, std::string *err)
{
    const std::string &d = apt->dir;
    if (apt->lists.empty())
        apt->lists = d + "/lists";
    if (apt->archives.empty())
        apt->archives = d + "/archives";
    for (const std::string &sub :
         {d + "/etc/apt.conf.d", d + "/etc/preferences.d", d + "/etc/sources.list.d", d + "/state",
          d + "/cache", d + "/log", apt->lists + "/partial", apt->archives + "/partial"})
        if (mkrel_mkdirs(sub) != 0)
            return mkrel_fail_errno(err, "cannot make " + sub);

    std::string status;
    if (!setup.status.empty() && mkrel_read_file(setup.status, &status, err) != 0)
        return 1;
    /* Every path is ours: with Dir::Etc::Main and Parts set here, apt reads
     * nothing of /etc/apt but the keyrings the sources name. */
    std::string conf = "Dir::Etc \"" + d + "/etc/\";\n" +
                       "Dir::Etc::Main \"apt.conf\";\n"
                       "Dir::Etc::Parts \"apt.conf.d\";\n"
                       "Dir::Etc::SourceList \"sources.list\";\n"
                       "Dir::Etc::SourceParts \"sources.list.d\";\n"
                       "Dir::Etc::Preferences \"preferences\";\n"
                       "Dir::Etc::PreferencesParts \"preferences.d\";\n"
                       "Dir::Etc::TrustedParts \"/etc/apt/trusted.gpg.d/\";\n"
                       "Dir::State \"" +
                       d + "/state/\";\n" + "Dir::State::Lists \"" + apt->lists + "/\";\n" +
                       "Dir::State::status \"" + d + "/status\";\n" + "Dir::Cache \"" + d +
                       "/cache/\";\n" + "Dir::Cache::archives \"" + apt->archives + "/\";\n" +
                       "Dir::Log \"" + d + "/log/\";\n" +
                       /* Private folders belong to root; apt's download user
                        * could not write them. */
                       "APT::Sandbox::User \"root\";\n" + setup.conf;
    apt->conf = d + "/apt.conf";
    if (mkrel_write_file(d + "/status", status, 0644, err) != 0 ||
        mkrel_write_file(d + "/etc/apt.conf", "", 0644, err) != 0 ||
        mkrel_write_file(d + "/etc/sources.list", "", 0644, err) != 0 ||
        mkrel_write_file(d + "/etc/sources.list.d/" + setup.sources_name, setup.sources, 0644,
                         err) != 0 ||
        mkrel_write_file(apt->conf, conf, 0644, err) != 0)
        return 1;
    if (!setup.preferences.empty() &&
        mkrel_write_file(d + "/etc/preferences.d/private", setup.preferences, 0644, err) != 0)
        return 1;
    return 0;
}

int mkrel_apt_get(const mkrel_apt *apt, const std::vector<std::string> &args, std::string *out,
                  std::string *diag)
{
    mkrel_child how;
    how.env = {"APT_CONFIG=" + apt->conf, "DEBIAN_FRONTEND=noninteractive", "LC_ALL=C"};
    std::vector<std::string> argv = {"/usr/bin/apt-get"};
    argv.insert(argv.end(), args.begin(), args.end());
    return mkrel_run(argv, out, diag, &how);
}

std::string mkrel_apt_errors(const std::string &diag)
{
    std::istringstream in(diag);
    std::string line, errors, last;
    while (std::getline(in, line)) {
        if (line.rfind("E: ", 0) == 0)
            errors += (errors.empty() ? "" : "; ") + line.substr(3);
        if (!line.empty())
            last = line;
    }
    return errors.empty() ? last : errors;
}
