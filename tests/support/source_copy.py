"""Copies of the source tree for tests that run `make dist`, which refuses a checkout with
uncommitted changes: the working tree as it is, without build output or git, or committed afresh."""
import pathlib
import shutil
import subprocess


def copy_sources(source, target):
    """The sources without build output or git, every file with a new modification time."""
    source = pathlib.Path(source)
    ignored_at_top = shutil.ignore_patterns("build*", "dist", ".git")
    ignored_anywhere = shutil.ignore_patterns("__pycache__", ".pytest_cache")

    def ignore(directory, names):
        found = set(ignored_anywhere(directory, names))
        if pathlib.Path(directory) == source:
            found |= ignored_at_top(directory, names)
        return found

    shutil.copytree(source, target, ignore=ignore, copy_function=shutil.copy)


def committed_copy(source, target, epoch):
    """copy_sources() as the one commit of a new repository, dated `epoch`, so that the copy is a
    clean checkout whatever the working tree holds uncommitted."""
    copy_sources(source, target)
    git = ["git", "-C", str(target), "-c", "user.name=test", "-c", "user.email=test@invalid"]
    subprocess.run(git + ["init", "-q"], check=True)
    subprocess.run(git + ["add", "-A"], check=True)
    subprocess.run(git + ["commit", "-q", "-m", "copy", "--date", f"@{epoch}"], check=True,
                   env={"GIT_COMMITTER_DATE": f"@{epoch}", "PATH": "/usr/bin:/bin"})
