// Runs a command as systemd 252 runs a service with MemoryDenyWriteExecute=yes: no memory
// is mapped writable and executable at once, and none is made executable afterwards.

#include <cerrno>
#include <cstdio>
#include <memory>

#include <seccomp.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

struct FilterRelease {
    void operator()(void* filter) const { seccomp_release(filter); }
};

bool refuseWritableExecutable()
{
    const std::unique_ptr<void, FilterRelease> filter(seccomp_init(SCMP_ACT_ALLOW));
    const auto refused = SCMP_ACT_ERRNO(EPERM);
    return filter &&
           seccomp_rule_add(filter.get(), refused, SCMP_SYS(mmap), 1,
                            SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC | PROT_WRITE, PROT_EXEC | PROT_WRITE)) == 0 &&
           seccomp_rule_add(filter.get(), refused, SCMP_SYS(mprotect), 1,
                            SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)) == 0 &&
           seccomp_rule_add(filter.get(), refused, SCMP_SYS(pkey_mprotect), 1,
                            SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)) == 0 &&
           seccomp_rule_add(filter.get(), refused, SCMP_SYS(shmat), 1,
                            SCMP_A2(SCMP_CMP_MASKED_EQ, SHM_EXEC, SHM_EXEC)) == 0 &&
           seccomp_load(filter.get()) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: write_execute_guard PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    if (!refuseWritableExecutable()) {
        std::fputs("write_execute_guard: cannot install the system call filter\n", stderr);
        return 2;
    }
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
