// lossyfs: mirrors a folder through FUSE and, on command, cuts the power: everything that no
// fsync made durable is taken back from the folder, then it unmounts. See usage() and pending.h.
#include "lossyfs.h"
#include "pending.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

void usage()
{
    std::fprintf(stderr, "usage: lossyfs [--torn SEED] [--cut-at-sync N] [--log FILE] [-o OPTIONS] BACKING MOUNTPOINT\n"
                         "Mirrors BACKING at MOUNTPOINT and prints \"ready\" once mounted. SIGUSR1 cuts the power:\n"
                         "every change no fsync made durable is undone in BACKING, then it unmounts and exits 0.\n"
                         "  --torn SEED       a cut keeps a random subset of the pending blocks and a random\n"
                         "                    prefix of each folder's pending changes, and reports them\n"
                         "  --cut-at-sync N   cut when the Nth fsync, fdatasync or fsyncdir arrives (it fails)\n"
                         "  --log FILE        record every sync and rename, numbered by syncs so far\n"
                         "SIGTERM or SIGINT unmounts without a cut (everything stays).\n");
}

void onSignal(int)
{
    cutNow();
}

} // namespace

int main(int argc, char **argv)
{
    const char *logPath = nullptr;
    bool torn = false;
    unsigned long long seed = 0;
    std::string options = "default_permissions,fsname=lossyfs";
    std::vector<const char *> paths;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--torn" && hasValue) {
            torn = true;
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--cut-at-sync" && hasValue) {
            lossy.cutAt = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--log" && hasValue) {
            logPath = argv[++i];
        } else if (a == "-o" && hasValue) {
            options += std::string(",") + argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            usage();
            return a == "-h" || a == "--help" ? 0 : 2;
        } else {
            paths.push_back(argv[i]);
        }
    }
    if (paths.size() != 2) {
        usage();
        return 2;
    }
    umask(0); // modes arrive with the caller's umask applied already
    lossy.root = open(paths[0], O_RDONLY | O_DIRECTORY);
    if (lossy.root < 0) {
        std::fprintf(stderr, "lossyfs: %s: %s\n", paths[0], std::strerror(errno));
        return 1;
    }
    if (logPath && !(lossy.log = std::fopen(logPath, "w"))) {
        std::fprintf(stderr, "lossyfs: %s: %s\n", logPath, std::strerror(errno));
        return 1;
    }
    Pending pending(lossy.root);
    lossy.pending = &pending;

    const fuse_operations ops = lossyOperations();
    std::string argv0 = argv[0];
    char *fuseArgv[] = {argv0.data(), const_cast<char *>("-o"), options.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
    fuse *fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (!fs)
        return 1;
    if (fuse_mount(fs, paths[1]) != 0) {
        fuse_destroy(fs);
        return 1;
    }
    lossy.session = fuse_get_session(fs);
    fuse_set_signal_handlers(lossy.session);
    struct sigaction sa {};
    sa.sa_handler = onSignal; // no SA_RESTART: the signal must break the loop's read
    sigaction(SIGUSR1, &sa, nullptr);
    std::printf("ready\n");
    std::fflush(stdout);

    int rc = fuse_loop(fs);
    // Unmount first: the kernel then fails every call at once and writes nothing back any more.
    fuse_remove_signal_handlers(lossy.session);
    fuse_unmount(fs);
    fuse_destroy(fs);
    if (lossy.cut) {
        std::mt19937_64 rng(seed);
        pending.cut(torn ? &rng : nullptr);
        rc = 0;
    } else {
        pending.keepAll();
    }
    if (lossy.log)
        std::fclose(lossy.log);
    return rc < 0 ? 1 : 0; // a positive rc is the signal that ended the loop
}
