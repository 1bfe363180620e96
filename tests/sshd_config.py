"""The SSH server's configuration that the tests and the benchmark share: root
with a key only, SFTP served in-process, keys made in `work`."""
import subprocess


def write(work, port):
    """Makes the host and user keys in `work` and writes work/sshd_config for
    a server on 127.0.0.1:port; returns the configuration's path."""
    for key in ("host", "user"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{work}/{key}"], check=True)
    with open(f"{work}/sshd_config", "w") as f:
        f.write(f"Port {port}\nListenAddress 127.0.0.1\nHostKey {work}/host\nPidFile {work}/sshd.pid\n"
                f"AuthorizedKeysFile {work}/user.pub\nPermitRootLogin prohibit-password\n"
                "PasswordAuthentication no\nStrictModes no\nUsePAM no\nSubsystem sftp internal-sftp\n")
    return f"{work}/sshd_config"
