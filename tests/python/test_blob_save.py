"""CorvaleBlobMap.save_to_file and load_from_file: the access a replacing save
hands on, paths that name an open file, the file's lock between processes,
within one process and between its threads, signals during a save or a load,
and the paths a save reaches (long ones, names that are not UTF-8)."""

import ast
import contextlib
import errno
import fcntl
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import warnings

import pytest

from corvale_trie import CorvaleBlobMap, _corvale
from conftest import U64_MAX, notes, raises_exactly, requires_test_hooks

IO_ERROR = "Failed to save file: Input/output error (os error 5)"
IN_PLACE = "the new image is in place"
HAS_PROC_FD = os.path.isdir("/proc/self/fd")


def _maps(new_size=60):
    old, new = CorvaleBlobMap(4096), CorvaleBlobMap(4096)
    old.insert(1, b"the old image " * 5, 3)
    for k in range(new_size):
        new.insert(k * 977, bytes([k % 256]) * (k * 37 % 900), k)
    return old, new


def _image(m, tmp_path):
    m.save_to_file(str(tmp_path / "scratch"))
    data = (tmp_path / "scratch").read_bytes()
    os.remove(tmp_path / "scratch")
    return data


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _fds():
    return len(os.listdir("/proc/self/fd" if HAS_PROC_FD else "/dev/fd"))


def _big_map():
    """A map whose image (64 MiB) takes long enough to write that a timer
    of a few milliseconds fires during the save."""
    m = CorvaleBlobMap(1 << 26)
    for k in range(64):
        m.insert(k, bytes([k]) * (1 << 20))
    return m


@contextlib.contextmanager
def _alarm(handler, first, every=0.0):
    before = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, first, every)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, before)


class Stop(Exception):
    pass


def _stop(*_):
    signal.setitimer(signal.ITIMER_REAL, 0)
    raise Stop


# ---------------------------------------------------------------------------
# The new file grants no one an access the old file denied


def _acl(path):
    out = subprocess.run(["getfacl", "-cnE", "--", str(path)], capture_output=True, text=True, check=True).stdout
    return sorted(line for line in out.splitlines() if line and not line.startswith("#"))


def _setfacl(*args):
    subprocess.run(["setfacl", *args], check=True, capture_output=True)


def _errno_as_user(uid, groups, call):
    """call() in a child process of user uid, a member of `groups` (the first
    its primary group): None when it returned, else the errno of the OSError
    it raised (a save's is in its text)."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(r)
            os.setgroups(groups)
            os.setgid(groups[0])
            os.setuid(uid)
            try:
                call()
                os.write(w, b"ok")
            except OSError as e:
                os.write(w, str(e.errno if e.errno else re.search(r"\(os error (\d+)\)", str(e))[1]).encode())
        finally:
            os._exit(0)
    os.close(w)
    with os.fdopen(r, "rb") as f:
        said = f.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0 and said
    return None if said == "ok" else int(said)


def _as_user(uid, groups, call):
    """Whether call() returned in a child process of user uid (False: it
    raised PermissionError)."""
    e = _errno_as_user(uid, groups, call)
    assert e in (None, errno.EACCES, errno.EPERM)
    return e is None


def _reads(path, uid, groups):
    """Whether uid, a member of `groups`, may open `path` for reading."""
    return _as_user(uid, groups, lambda: open(path, "rb").close())


@pytest.fixture
def acl_dir():
    """A directory every user may enter, on a file system with ACLs and
    user attributes; root only (the tests change owners and users)."""
    if os.geteuid() != 0 or not (shutil.which("setfacl") and shutil.which("getfacl")):
        pytest.skip("needs root and the acl tools (setfacl, getfacl)")
    d = tempfile.mkdtemp()
    try:
        os.chmod(d, 0o755)
        probe = os.path.join(d, "probe")
        open(probe, "wb").close()
        try:
            _setfacl("-m", "u:1001:r", probe)
            os.setxattr(probe, "user.probe", b"1")
        except (subprocess.CalledProcessError, OSError):
            pytest.skip("the file system of the temporary directory has no ACLs or no user attributes")
        os.remove(probe)
        yield d
    finally:
        shutil.rmtree(d)


def test_the_new_file_has_the_old_files_acl_and_user_attributes(acl_dir, tmp_path):
    old, new = _maps()
    path = os.path.join(acl_dir, "img")
    old.save_to_file(path)
    os.chown(path, 1000, 5678)
    _setfacl("-m", "u::rw-,u:1001:rw-,g::---,m::rw-,o::---", path)
    os.setxattr(path, "user.origin", b"kept \x00 as bytes")
    acl, mode = _acl(path), os.stat(path).st_mode
    assert not _reads(path, 2000, [5678]) and _reads(path, 1001, [1001])
    new.save_to_file(path)
    st = os.stat(path)
    assert _read(path) == _image(new, tmp_path)
    assert (_acl(path), st.st_mode, st.st_uid, st.st_gid) == (acl, mode, 1000, 5678)
    assert os.getxattr(path, "user.origin") == b"kept \x00 as bytes"
    assert not _reads(path, 2000, [5678]) and _reads(path, 1001, [1001])

    # A file that shed the directory's default ACL does not get it back; a
    # new file in that directory does, as any new file.
    sub = os.path.join(acl_dir, "sub")
    os.mkdir(sub)
    _setfacl("-d", "-m", "u:1001:rw", sub)
    shed, fresh = os.path.join(sub, "shed"), os.path.join(sub, "fresh")
    old.save_to_file(shed)
    _setfacl("-b", shed)
    os.chmod(shed, 0o640)
    new.save_to_file(shed)
    assert _acl(shed) == ["group::r--", "other::---", "user::rw-"] and stat.S_IMODE(os.stat(shed).st_mode) == 0o640
    assert not _reads(shed, 1001, [1001])
    new.save_to_file(fresh)
    assert "user:1001:rw-" in _acl(fresh) and _reads(fresh, 1001, [1001])


# Users of the tests below that save as another user: A saves; B owns
# files or links that A meets; C owns a shared directory; all three are in
# the group G.
G = 3210
A, B, C = (3201, [3201, G]), (3202, [3202, G]), (3203, [3203, G])

# The saver A, and the users whose access a save must not change: B, C in
# A's group, D in the setgid directory's group 5679, E in the group 5678.
SAVER = (1001, [1001, 5680])
USERS = [SAVER, (1002, [1002]), (1003, [1003, 1001]), (1004, [1004, 5679]), (1005, [1005, 5678])]
# (the file's owner, group and mode, an ACL entry, whether its directory is
# setgid with group 5679, whether A's save replaces it with a new file)
OWNERS = [
    ("another user's file", 1002, 1002, 0o660, "u:1001:rw-", False, False),
    ("own file, a group A is not in", 1001, 5678, 0o640, None, False, False),
    ("another user's 0662 file", 1002, 1002, 0o662, None, False, False),
    ("setgid directory, another user's file", 1002, 1002, 0o660, "u:1001:rw-", True, False),
    ("setgid directory, own file", 1001, 1001, 0o640, None, True, True),
    ("own file, own group", 1001, 1001, 0o640, None, False, True),
    ("own file, a supplementary group", 1001, 5680, 0o640, "u:1004:r--", False, True),
]


@pytest.mark.parametrize("owner, group, mode, acl, setgid, replaced", [c[1:] for c in OWNERS],
                         ids=[c[0] for c in OWNERS])
def test_a_save_never_hands_the_file_to_another_owner_or_group(acl_dir, tmp_path, owner, group, mode, acl, setgid,
                                                                replaced):
    """A file whose owner and group the saver's new file cannot carry is
    written in place: its inode, owner, group, mode, ACL, attributes, hard
    links and readers stay. Any other is replaced by a new file with them."""
    old, new = _maps()
    d = os.path.join(acl_dir, "d")
    os.mkdir(d)
    os.chmod(d, 0o2777 if setgid else 0o777)
    if setgid:
        os.chown(d, 0, 5679)
    path, link = os.path.join(d, "img"), os.path.join(d, "link")
    old.save_to_file(path)
    os.link(path, link)
    os.chown(path, owner, group)
    os.chmod(path, mode)
    if acl:
        _setfacl("-m", acl, path)
    os.setxattr(path, "user.origin", b"kept")
    st = os.stat(path)
    before = (st.st_uid, st.st_gid, st.st_mode, _acl(path), [_reads(path, *u) for u in USERS])
    assert _as_user(*SAVER, lambda: new.save_to_file(path))
    st = os.stat(path)
    assert (st.st_uid, st.st_gid, st.st_mode, _acl(path), [_reads(path, *u) for u in USERS]) == before
    assert _read(path) == _image(new, tmp_path) and os.getxattr(path, "user.origin") == b"kept"
    assert (st.st_ino != os.stat(link).st_ino, st.st_nlink) == (replaced, 1 if replaced else 2)
    assert _read(link) == _image(old if replaced else new, tmp_path)
    assert sorted(os.listdir(d)) == ["img", "link"]


# (the file's mode, whether it is A's own (replaced) or another user's
# (written in place), its mode after A's save)
SET_ID = [(0o4750, True, 0o4750), (0o2750, True, 0o2750), (0o6750, True, 0o6750), (0o6770, False, 0o0770)]


@pytest.mark.parametrize("mode, own, after", SET_ID, ids=[f"{oct(c[0])} {'own' if c[1] else 'in place'}"
                                                         for c in SET_ID])
def test_set_id_bits_after_a_save_by_a_user(acl_dir, tmp_path, mode, own, after):
    """A replacement keeps the set-id bits; a write in place by a user who
    may not set them loses them, as any write does."""
    old, new = _maps()
    d = os.path.join(acl_dir, "d")
    os.mkdir(d)
    os.chmod(d, 0o777)
    path = os.path.join(d, "img")
    old.save_to_file(path)
    os.chown(path, A[0] if own else B[0], G)
    os.chmod(path, mode)
    assert _as_user(*A, lambda: new.save_to_file(path))
    assert (stat.S_IMODE(os.stat(path).st_mode), _read(path)) == (after, _image(new, tmp_path))


# ---------------------------------------------------------------------------
# In a shared sticky directory a save is refused wherever open(path, "wb") is


@pytest.fixture
def protections():
    """protections(symlinks, regular) sets the kernel's protections of sticky
    directories (fs.protected_symlinks, fs.protected_regular) for the test
    and puts them back; root only, where /proc/sys may be written."""
    paths = {name: f"/proc/sys/fs/protected_{name}" for name in ("symlinks", "regular")}
    if os.geteuid() != 0:
        pytest.skip("needs root")
    try:
        before = {name: _read(path) for name, path in paths.items()}
        for name, path in paths.items():
            with open(path, "wb") as f:
                f.write(before[name])
    except OSError:
        pytest.skip("the kernel's protections of sticky directories cannot be set here")

    def protect(symlinks, regular):
        for name, value in (("symlinks", symlinks), ("regular", regular)):
            with open(paths[name], "w") as f:
                f.write(str(value))

    try:
        yield protect
    finally:
        for name, path in paths.items():
            with open(path, "wb") as f:
                f.write(before[name])


# (what stands at shared/img, whose it is)
PLANTED = [
    ("file", B), ("file", A),
    ("link into A's directory", B), ("link into A's directory", A), ("link into A's directory", C),
]


@pytest.mark.parametrize("shared_mode", [0o1777, 0o1770], ids=["world-writable", "group-writable"])
def test_a_save_in_a_sticky_directory_is_refused_where_open_is(protections, tmp_path, shared_mode):
    """For every setting of the two protections and every entry another user
    (or the caller, or the directory's owner) planted, a save and a plain
    open(path, "wb") as A succeed or fail alike, with the same errno. A
    refused save leaves the planted entry and A's directory as they were."""
    old, new = _maps()
    image = _image(new, tmp_path)
    base = tempfile.mkdtemp()
    try:
        os.chmod(base, 0o755)
        shared, mine = os.path.join(base, "shared"), os.path.join(base, "a")
        path, target = os.path.join(shared, "img"), os.path.join(mine, "x")

        def plant(kind, owner):
            for d in (shared, mine):
                shutil.rmtree(d, ignore_errors=True)
            os.mkdir(shared)
            os.chown(shared, C[0], G)
            os.chmod(shared, shared_mode)
            os.mkdir(mine, 0o700)
            os.chown(mine, A[0], A[0])
            if kind == "file":
                old.save_to_file(path)
                os.chmod(path, 0o666)
            else:
                os.symlink(target, path)
            os.chown(path, owner[0], owner[0], follow_symlinks=False)

        def state():
            planted = os.readlink(path) if os.path.islink(path) else _read(path)
            return os.lstat(path).st_uid, planted, os.listdir(shared), os.listdir(mine)

        refused = 0
        for symlinks, regular in [(0, 0), (1, 0), (0, 1), (1, 1), (0, 2), (1, 2)]:
            protections(symlinks, regular)
            for kind, owner in PLANTED:
                case = (symlinks, regular, kind, owner[0])
                plant(kind, owner)
                opened = _errno_as_user(*A, lambda: open(path, "wb").close())
                plant(kind, owner)
                before = state()
                assert _errno_as_user(*A, lambda: new.save_to_file(path)) == opened, case
                if opened is None:
                    assert _read(path if kind == "file" else target) == image, case
                    assert os.path.islink(path) == (kind != "file"), case
                else:
                    assert state() == before, case
                    refused += 1
        assert refused == (7 if shared_mode == 0o1777 else 2)
    finally:
        shutil.rmtree(base)


# (errno that fchown fails with, what the save raises: None when it writes in
# place instead)
CHOWN_FAILURES = [
    (errno.EPERM, None),
    (errno.EINVAL, None),
    (errno.EIO, IO_ERROR),
    (errno.ENOSPC, "Failed to save file: No space left on device (os error 28)"),
]


@requires_test_hooks
@pytest.mark.parametrize("error, raised", CHOWN_FAILURES, ids=[errno.errorcode[c[0]] for c in CHOWN_FAILURES])
def test_a_refused_change_of_owner_writes_in_place_and_any_other_failure_refuses(tmp_path, error, raised):
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    inode, old_image = os.stat(path).st_ino, _read(path)
    _corvale._fail_chown_with(error)
    try:
        if raised:
            with raises_exactly(OSError, raised) as e:
                new.save_to_file(str(path))
            assert notes(e) == []
        else:
            new.save_to_file(str(path))
    finally:
        _corvale._fail_chown_with(0)
    assert (_read(path), os.stat(path).st_ino) == (old_image if raised else _image(new, tmp_path), inode)
    assert os.listdir(tmp_path) == ["img"]
    if not raised:  # interrupted, the write in place leaves what it wrote, and no note
        _corvale._fail_chown_with(error)
        _corvale._interrupt_after(1)
        try:
            with pytest.raises(KeyboardInterrupt) as e:
                old.save_to_file(str(path))
        finally:
            _corvale._interrupt_after(0)
        assert (notes(e), _read(path), os.stat(path).st_ino) == ([], b"", inode)
    new.save_to_file(str(path))  # the hook was used up
    assert os.stat(path).st_ino != inode


@requires_test_hooks
def test_a_failed_copy_of_the_access_refuses_the_save(acl_dir, tmp_path):
    """Each file step failing in turn, over a file with an ACL and a user
    attribute: every failure but the last (the directory's flush, after the
    rename) leaves the old image, its access and no other file."""
    old, new = _maps()
    path = os.path.join(acl_dir, "img")
    old.save_to_file(path)
    _setfacl("-m", "u:1001:r--,m::r--", path)
    os.setxattr(path, "user.a", b"x")
    before = (sorted(os.listdir(acl_dir)), _read(path), _acl(path), os.getxattr(path, "user.a"))
    new_image = _image(new, tmp_path)
    results = []
    for n in range(1, 100):
        _corvale._fail_file_step_after(n)
        try:
            new.save_to_file(path)
            break
        except OSError as e:
            results.append(str(e))
        finally:
            _corvale._fail_file_step_after(0)
        state = (sorted(os.listdir(acl_dir)), _read(path), _acl(path), os.getxattr(path, "user.a"))
        if state[1] == new_image:  # the flush of the directory
            assert state == (before[0], new_image, *before[2:])
            old.save_to_file(path)
        else:
            assert state == before, n
    assert results == [IO_ERROR] * len(results) and len(results) >= 15
    assert (_read(path), _acl(path), os.getxattr(path, "user.a")) == (new_image, *before[2:])


def _mount(*args):
    if os.geteuid() != 0 or subprocess.run(["mount", *args], capture_output=True).returncode != 0:
        pytest.skip("needs root and a mount the system allows")


def test_a_file_system_without_attributes_and_a_bind_mounted_file(tmp_path):
    """ramfs has neither ACLs nor user attributes: nothing to copy, the save
    goes through. A bind-mounted file cannot be replaced: refused, kept."""
    old, new = _maps()
    ram = tmp_path / "ram"
    ram.mkdir()
    _mount("-t", "ramfs", "ramfs", str(ram))
    try:
        old.save_to_file(str(ram / "img"))
        os.chmod(ram / "img", 0o640)
        new.save_to_file(str(ram / "img"))
        assert _read(ram / "img") == _image(new, tmp_path) and os.listdir(ram) == ["img"]
        assert stat.S_IMODE(os.stat(ram / "img").st_mode) == 0o640
    finally:
        subprocess.run(["umount", str(ram)], check=True)
    old.save_to_file(str(tmp_path / "source"))
    old.save_to_file(str(tmp_path / "bound"))
    _mount("--bind", str(tmp_path / "source"), str(tmp_path / "bound"))
    try:
        with raises_exactly(OSError, "Failed to save file: Device or resource busy (os error 16)"):
            new.save_to_file(str(tmp_path / "bound"))
        assert _read(tmp_path / "bound") == _image(old, tmp_path)
        assert sorted(os.listdir(tmp_path)) == ["bound", "ram", "source"]
    finally:
        subprocess.run(["umount", str(tmp_path / "bound")], check=True)


# ---------------------------------------------------------------------------
# A path that names an open file is written in place


@pytest.mark.skipif(not HAS_PROC_FD, reason="no /proc/self/fd")
def test_a_path_through_an_open_file_is_written_in_place(tmp_path):
    old, new = _maps(20)
    image = _image(new, tmp_path)
    run = [sys.executable, "-c", "import sys; from corvale_trie import CorvaleBlobMap as B; m = B(8192); "
           "m.insert(1, b'x' * 5000); print(m.save_to_file(sys.argv[1]), file=sys.stderr)"]
    for target in ("/dev/stdout", "/proc/self/fd/1"):
        out = subprocess.run([*run, target], capture_output=True, check=True)
        assert len(out.stdout) == int(out.stderr) > 5000

    # A pipe, and a deleted file: the image goes into the open file, and no
    # file is made, not even beside a name that is now another file.
    r, w = os.pipe()
    try:
        assert new.save_to_file(f"/dev/fd/{w}") == len(image) < 65536
        assert os.read(r, 65536) == image
    finally:
        os.close(r)
        os.close(w)
    (tmp_path / "gone.img (deleted)").write_bytes(b"another file")
    with open(tmp_path / "gone.img", "w+b") as f:
        os.remove(tmp_path / "gone.img")
        f.write(b"stale" * 50000)
        assert new.save_to_file(f"/proc/self/fd/{f.fileno()}") == len(image)
        f.seek(0)
        assert f.read() == image
    assert os.listdir(tmp_path) == ["gone.img (deleted)"]
    assert (tmp_path / "gone.img (deleted)").read_bytes() == b"another file"

    # Its directory removed too: the link's text leads nowhere, the path
    # still reaches the open file. A link that leads nowhere keeps its error.
    (tmp_path / "dir").mkdir()
    with open(tmp_path / "dir" / "x.img", "w+b") as f:
        os.remove(tmp_path / "dir" / "x.img")
        os.rmdir(tmp_path / "dir")
        f.write(b"stale" * 50000)
        assert new.save_to_file(f"/proc/self/fd/{f.fileno()}") == len(image)
        f.seek(0)
        assert f.read() == image
    os.symlink(tmp_path / "dir" / "x.img", tmp_path / "dangling")
    with raises_exactly(OSError, "Failed to save file: No such file or directory (os error 2)"):
        new.save_to_file(str(tmp_path / "dangling"))
    os.remove(tmp_path / "dangling")

    # The name of a file that is still there reaches that file: replaced.
    path = tmp_path / "live.img"
    old.save_to_file(str(path))
    with open(path, "rb") as f:
        new.save_to_file(f"/proc/self/fd/{f.fileno()}")
        assert f.read() == _image(old, tmp_path) and path.read_bytes() == image
    assert sorted(os.listdir(tmp_path)) == ["gone.img (deleted)", "live.img"]


# ---------------------------------------------------------------------------
# Two saves to one path at once


@requires_test_hooks
@pytest.mark.parametrize("through_link", [False, True], ids=["path", "link"])
def test_another_saves_rename_between_the_paths_status_and_its_name(tmp_path, through_link):
    """Another save renames its file over the path just after this save took
    the path's status: this save replaces that file, it never truncates and
    rewrites it in place, so its image stays whole for whoever opened it."""
    old, new = _maps()
    other = CorvaleBlobMap(4096)
    other.insert(5, b"the other save's image " * 40)
    ours, theirs = _image(new, tmp_path), _image(other, tmp_path)
    img = tmp_path / "img"
    if through_link:
        os.symlink("img", tmp_path / "link")
    target = str(tmp_path / ("link" if through_link else "img"))

    with contextlib.ExitStack() as opened:
        committed, calls = [], []

        def other_save(times, remove=False):
            def hook():
                calls.append(1)
                if len(calls) > times:
                    return
                if remove:
                    os.remove(img)
                    return
                (tmp_path / "theirs").write_bytes(theirs)
                committed.append(opened.enter_context(open(tmp_path / "theirs", "rb")))
                os.rename(tmp_path / "theirs", img)
            return hook

        # Over an old file, over no file, at every try, and a file removed.
        cases = [(True, other_save(1)), (False, other_save(1)), (True, other_save(1000))]
        if through_link:
            cases.append((True, other_save(1, remove=True)))
        for had_file, hook in cases:
            if had_file:
                old.save_to_file(str(img))
            elif img.exists():
                os.remove(img)
            del calls[:]
            _corvale._pause_at("path_stat", hook)
            try:
                assert new.save_to_file(target) == len(ours)
            finally:
                _corvale._pause_at("path_stat", None)
            assert _read(img) == ours and sorted(os.listdir(tmp_path)) == sorted(["img", *["link"] * through_link])
            for f in committed:
                f.seek(0)
                assert f.read() == theirs and os.fstat(f.fileno()).st_ino != os.stat(img).st_ino
            # Through a link the disagreement makes the save start over, a
            # few times at most; the path's own name is replaced at once.
            assert len(calls) == 1 if not through_link else 1 < len(calls) < 10
        assert len(committed) >= 3


@requires_test_hooks
@pytest.mark.parametrize("then", ["a file", "gone"])
def test_a_link_that_changes_before_it_is_read(tmp_path, then):
    """The path's link is replaced by a regular file, or removed, between its
    status and its reading: the save looks at the name again and replaces
    that file, or makes it, as open(path, "wb") would. (Removed: as when
    another user makes and removes the link in a shared directory, the path
    is missing when the save takes its status, and a link when it looks at
    its name.)"""
    old, new = _maps()
    old.save_to_file(str(tmp_path / "img"))
    (tmp_path / "file").write_bytes(b"a file")
    if then == "a file":
        os.symlink("img", tmp_path / "link")
        _corvale._pause_at("link_stat", lambda: os.rename(tmp_path / "file", tmp_path / "link"))
    else:
        _corvale._pause_at("path_stat", lambda: os.symlink("img", tmp_path / "link"))
        _corvale._pause_at("link_stat", lambda: os.remove(tmp_path / "link"))
    try:
        new.save_to_file(str(tmp_path / "link"))
    finally:
        _corvale._pause_at("link_stat", None)
        _corvale._pause_at("path_stat", None)
    assert not os.path.islink(tmp_path / "link") and _read(tmp_path / "link") == _image(new, tmp_path)
    assert _read(tmp_path / "img") == _image(old, tmp_path)
    assert sorted(os.listdir(tmp_path)) == (["img", "link"] if then == "a file" else ["file", "img", "link"])


def test_two_processes_saving_to_one_path(tmp_path):
    """A child process saves one map, the parent another, through a link to
    one file, for a second: every load gives one of the two maps whole."""
    ours, theirs = CorvaleBlobMap(8192), CorvaleBlobMap(8192)
    for k in range(200):
        ours.insert(k, b"o" * (k * 53 % 3000))
        theirs.insert(k * 7, b"t" * (k * 31 % 2000))
    os.symlink("img", tmp_path / "link")
    path = str(tmp_path / "link")
    child = subprocess.Popen([sys.executable, "-c", """if True:
        import sys, time
        from corvale_trie import CorvaleBlobMap as B
        m = B(8192)
        for k in range(200):
            m.insert(k * 7, b"t" * (k * 31 % 2000))
        end = time.monotonic() + 1.0
        while time.monotonic() < end:
            m.save_to_file(sys.argv[1])
            if len(B.load_from_file(sys.argv[1])) != 200:
                sys.exit(1)
        """, path])
    try:
        expected = [sorted((k, ours.get(k)) for k in range(200)), sorted((k * 7, theirs.get(k * 7)) for k in range(200))]
        loads = 0
        while child.poll() is None:
            ours.save_to_file(path)
            m = CorvaleBlobMap.load_from_file(path)
            assert len(m) == 200 and sorted((k, m.get(k)) for k in set(range(200)) | set(range(0, 1400, 7))
                                            if k in m) in expected
            loads += 1
    finally:
        child.wait()
    assert child.returncode == 0 and loads > 0 and sorted(os.listdir(tmp_path)) == ["img", "link"]


# ---------------------------------------------------------------------------
# A file written in place is locked: saves and loads wait for each other


def _save_in_place(m, path):
    """Saves `m` in place over `path`, an existing file of the caller's."""
    _corvale._fail_chown_with(errno.EPERM)
    try:
        return m.save_to_file(str(path))
    finally:
        _corvale._fail_chown_with(0)


@contextlib.contextmanager
def _locked_elsewhere(path, exclusive):
    """Another process holds a record lock over the whole of `path` meanwhile."""
    held, release = os.pipe(), os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            fcntl.lockf(os.open(path, os.O_RDWR), fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)
            os.write(held[1], b"1")
            os.read(release[0], 1)
        finally:
            os._exit(0)
    try:
        assert os.read(held[0], 1) == b"1"
        yield
    finally:
        os.write(release[1], b"1")
        os.waitpid(pid, 0)
        for fd in (*held, *release):
            os.close(fd)


def _waiting_for_a_lock(pid):
    """Whether process `pid` waits for a record lock (/proc/locks)."""
    with open("/proc/locks") as f:
        return any(line.split()[1:2] == ["->"] and line.split()[5] == str(pid) for line in f)


@requires_test_hooks
@pytest.mark.skipif(not os.path.exists("/proc/locks") or not hasattr(signal, "setitimer"),
                    reason="no /proc/locks or no interval timer")
def test_a_save_in_place_and_a_load_wait_for_the_files_lock(tmp_path):
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    old_image, new_image, fds = _read(path), _image(new, tmp_path), _fds()

    # Another process reads the file: loads go on, a save in place waits,
    # and a signal handler that raises stops it with nothing written.
    with _locked_elsewhere(path, exclusive=False):
        assert len(CorvaleBlobMap.load_from_file(str(path))) == 1
        with _alarm(_stop, 0.1), pytest.raises(Stop) as e:
            _save_in_place(new, path)
        assert (notes(e), _read(path), os.listdir(tmp_path)) == ([], old_image, ["img"])
    # Another process writes it: a load waits, and is stopped the same way.
    with _locked_elsewhere(path, exclusive=True):
        with _alarm(_stop, 0.1), pytest.raises(Stop):
            CorvaleBlobMap.load_from_file(str(path))
    assert _fds() == fds

    # A save in another process waits while this one holds the lock, and
    # writes once it is let go.
    with open(path, "rb+") as f:
        fcntl.lockf(f, fcntl.LOCK_SH)
        pid = os.fork()
        if pid == 0:
            try:
                _save_in_place(new, path)
            finally:
                os._exit(0)
        deadline = time.monotonic() + 60
        while not _waiting_for_a_lock(pid):
            assert time.monotonic() < deadline, "the save never waited"
            time.sleep(0.001)
        assert _read(path) == old_image
    os.waitpid(pid, 0)
    assert _read(path) == new_image and os.listdir(tmp_path) == ["img"]


@requires_test_hooks
@pytest.mark.parametrize("second", ["in place", "replaced"])
def test_saves_in_place_and_loads_see_only_whole_images(tmp_path, second):
    """Two processes save maps of the same image size to one file for half a
    second, one in place, the other in place or by replacement: every load
    meanwhile, and the file at the end, is one of the two maps whole (a torn
    image of that size would load as a mix of them)."""
    maps = [CorvaleBlobMap(8192), CorvaleBlobMap(8192)]
    for k in range(300):
        for m, byte in zip(maps, b"ab"):
            m.insert(k * 11, bytes([byte]) * (k * 41 % 2500))
    expected = [m.scan_filtered(0, U64_MAX) for m in maps]
    path = tmp_path / "img"
    maps[0].save_to_file(str(path))

    def saver(m, in_place):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                end = time.monotonic() + 0.5
                while time.monotonic() < end:
                    _save_in_place(m, path) if in_place else m.save_to_file(str(path))
                code = 0
            finally:
                os._exit(code)
        return pid

    running = {saver(maps[0], True), saver(maps[1], second == "in place")}
    loads = 0
    while running:
        assert CorvaleBlobMap.load_from_file(str(path)).scan_filtered(0, U64_MAX) in expected
        loads += 1
        for pid in list(running):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                assert os.waitstatus_to_exitcode(status) == 0
                running.remove(pid)
    assert CorvaleBlobMap.load_from_file(str(path)).scan_filtered(0, U64_MAX) in expected
    assert loads > 10 and os.listdir(tmp_path) == ["img"]


# ---------------------------------------------------------------------------
# Within one process: a save or a load nested in another of the same file
# (as a signal handler's would be) never sees or leaves a torn image, and
# never lets go of the lock that other processes wait on

DEADLOCK = "Resource deadlock avoided (os error 35)"
SAVE_DEADLOCK = f"Failed to save file: {DEADLOCK}"
LOAD_FAILED = "Failed to load file: Corrupted blob record header"


def _our_locks(ino):
    """The kinds of the record locks that this process holds on inode `ino`
    (/proc/locks)."""
    with open("/proc/locks") as f:
        rows = [line.split() for line in f if "->" not in line]
    return [r[3] for r in rows if r[1] == "POSIX" and r[4] == str(os.getpid()) and r[5].rsplit(":", 1)[1] == str(ino)]


@contextlib.contextmanager
def _once_locked(act):
    """The first save or load meanwhile that takes its file's lock calls
    act() just after it, as a signal handler would run there."""
    done = []

    def hook():
        if not done:
            done.append(1)
            act()

    _corvale._pause_at("locked", hook)
    try:
        yield
    finally:
        _corvale._pause_at("locked", None)
    assert done


def _outcome(call):
    """What call() raised, as (text, notes), or what it returned."""
    try:
        return call()
    except OSError as e:
        return str(e), getattr(e, "__notes__", [])


@requires_test_hooks
@pytest.mark.skipif(not os.path.exists("/proc/locks"), reason="no /proc/locks")
def test_a_save_or_a_load_nested_in_a_save_in_place_of_the_file_is_refused(tmp_path):
    """Saves of the file (replacing it, in place, through a link) and a load
    of it, while a save in place holds it locked: each is refused at once,
    and the file stays the outer save's, under its lock, to finish."""
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    os.symlink("img", tmp_path / "link")
    old_image, new_image, ino = _read(path), _image(new, tmp_path), path.stat().st_ino
    # The file is read meanwhile through a descriptor opened before: closing
    # one would let go of the process's locks on it.
    reader = os.open(path, os.O_RDONLY)
    fds = _fds()
    seen = []

    def nested():
        for call in (lambda: old.save_to_file(str(path)), lambda: _save_in_place(old, path),
                     lambda: old.save_to_file(str(tmp_path / "link")), lambda: CorvaleBlobMap.load_from_file(str(path))):
            seen.append(_outcome(call))
        seen.append((os.pread(reader, 1 << 20, 0), sorted(os.listdir(tmp_path)), _our_locks(ino)))

    try:
        with _once_locked(nested):
            assert _save_in_place(new, path) == len(new_image)
    finally:
        os.close(reader)
    fds -= 1
    assert seen == [(SAVE_DEADLOCK, [])] * 3 + [(LOAD_FAILED, [DEADLOCK]), (old_image, ["img", "link"], ["WRITE"])]
    assert _read(path) == new_image and _fds() == fds and _our_locks(ino) == []
    assert CorvaleBlobMap.load_from_file(str(path)).scan_filtered(0, U64_MAX) == new.scan_filtered(0, U64_MAX)


@requires_test_hooks
@pytest.mark.skipif(not os.path.exists("/proc/locks"), reason="no /proc/locks")
def test_calls_nested_in_a_load_of_the_file(tmp_path):
    """Under a load that holds its file's read lock, a save in place of the
    file is refused; another load goes on, and so does a save that
    replaces the file; the outer load keeps its lock to the end and reads
    the old image whole."""
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    new_image, fds, ino = _image(new, tmp_path), _fds(), path.stat().st_ino
    seen = []

    def nested():
        seen.append(_outcome(lambda: _save_in_place(new, path)))
        seen.append((len(CorvaleBlobMap.load_from_file(str(path))), _our_locks(ino)))
        seen.append((new.save_to_file(str(path)), _read(path) == new_image, _our_locks(ino)))

    with _once_locked(nested):
        loaded = CorvaleBlobMap.load_from_file(str(path))
    assert seen == [(SAVE_DEADLOCK, []), (1, ["READ"]), (len(new_image), True, ["READ"])]
    assert loaded.scan_filtered(0, U64_MAX) == old.scan_filtered(0, U64_MAX)
    assert _fds() == fds and _our_locks(ino) == []


# ---------------------------------------------------------------------------
# Calls of other threads, and of a forked child: they wait as another
# process's would, and nothing of ours makes the rest of the program wait


def _in_thread(call):
    """Starts call() in a thread; the thread's `outcome` holds what it
    returned, or the (text, notes) of the OSError it raised."""
    t = threading.Thread(target=lambda: setattr(t, "outcome", _outcome(call)), daemon=True)
    t.start()
    return t


def _armed_in_place(m, path):
    """Saves `m` in place over `path`. Unlike _save_in_place it leaves the
    chown hook to be taken: a call that waits meanwhile must still find it
    armed when it goes on."""
    _corvale._fail_chown_with(errno.EPERM)
    return m.save_to_file(str(path))


@contextlib.contextmanager
def _ticking():
    """Counts the ticks of a thread that ticks every millisecond meanwhile."""
    ticks, done = [], threading.Event()

    def tick():
        while not done.wait(0.001):
            ticks.append(1)

    t = threading.Thread(target=tick, daemon=True)
    t.start()
    try:
        yield ticks
    finally:
        done.set()
        t.join()


def _third():
    """A map of a third image. The maps are bound to the thread that makes
    them: a thread saves a map of its own."""
    m = CorvaleBlobMap(4096)
    m.insert(7, b"a third image " * 9)
    return m


def _whole(path, maps):
    """Whether `path` loads as one of `maps`, whole."""
    return CorvaleBlobMap.load_from_file(str(path)).scan_filtered(0, U64_MAX) in [m.scan_filtered(0, U64_MAX)
                                                                                 for m in maps]


@requires_test_hooks
@pytest.mark.parametrize("outer", ["save in place", "load"])
def test_another_threads_calls_wait_for_a_call_that_holds_the_file(tmp_path, outer):
    """The outer call pauses just after its lock in a hook that lets the
    interpreter lock go, as a signal handler that sleeps does. Another
    thread's save in place waits for it (under a load, once it has looked at
    the file), and so does its load under a save; a load under a load goes
    on. A call nested on the paused thread is still refused. Once the outer
    call is done, the waiting calls go on and see whole images."""
    old, new = _maps()
    third = _third()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    old_image, ino, fds = _read(path), path.stat().st_ino, _fds()
    seen = {}

    def held():
        workers = {"save": _in_thread(lambda: _armed_in_place(_third(), path)),
                   "load": _in_thread(lambda: len(CorvaleBlobMap.load_from_file(str(path))))}
        time.sleep(0.3)
        seen["waiting"] = sorted(name for name, t in workers.items() if t.is_alive())
        seen["file"] = _read(path) == old_image
        seen["nested"] = _outcome(lambda: _save_in_place(old, path) if outer == "load" else
                                  CorvaleBlobMap.load_from_file(str(path)))
        seen["workers"] = workers

    try:
        with _once_locked(held):
            if outer == "load":
                assert len(CorvaleBlobMap.load_from_file(str(path))) == 1
            else:
                assert _armed_in_place(new, path) == len(_image(new, tmp_path))
        for t in seen["workers"].values():
            t.join(10)
    finally:
        _corvale._fail_chown_with(0)
    if outer == "load":
        assert seen["waiting"] == ["save"] and seen["nested"] == (SAVE_DEADLOCK, [])
        assert seen["workers"]["load"].outcome == 1
    else:
        assert seen["waiting"] == ["load", "save"] and seen["nested"] == (LOAD_FAILED, [DEADLOCK])
        assert seen["workers"]["load"].outcome in (len(new), len(third))
    assert seen["file"] and seen["workers"]["save"].outcome == len(_image(third, tmp_path))
    assert path.stat().st_ino == ino and _whole(path, [third]) and _fds() == fds and _our_locks(ino) == []


@requires_test_hooks
@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no interval timer")
def test_a_call_waiting_for_another_thread_can_be_interrupted(tmp_path):
    """Another thread holds the file, paused after its lock; this thread's
    save and load wait for it, while a ticking thread keeps ticking, until a
    signal handler raises: they stop with nothing written. The holder then
    writes its image."""
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    old_image, new_image, fds = _read(path), _image(new, tmp_path), _fds()
    holding, resume = threading.Event(), threading.Event()

    def hook():
        if threading.current_thread() is not threading.main_thread() and not holding.is_set():
            holding.set()
            resume.wait(10)

    _corvale._pause_at("locked", hook)
    try:
        holder = _in_thread(lambda: _armed_in_place(_maps()[1], path))
        assert holding.wait(10)
        for call in (lambda: _save_in_place(old, path), lambda: CorvaleBlobMap.load_from_file(str(path))):
            with _ticking() as ticks, _alarm(_stop, 0.3), pytest.raises(Stop) as e:
                call()
            assert notes(e) == [] and len(ticks) > 30 and _read(path) == old_image
        resume.set()
        holder.join(10)
    finally:
        resume.set()
        _corvale._pause_at("locked", None)
        _corvale._fail_chown_with(0)
    assert holder.outcome == len(new_image) and _read(path) == new_image and _fds() == fds


@requires_test_hooks
@pytest.mark.skipif(not os.path.exists("/proc/locks"), reason="no /proc/locks")
def test_other_threads_run_while_a_call_waits_for_another_process(tmp_path):
    """A save in place and a load that wait for another process's lock, and
    a save that waits for another process's lease, let a ticking thread
    tick."""
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    old_image = _read(path)
    waits = [(lambda: _locked_elsewhere(path, exclusive=True), lambda: _save_in_place(new, path)),
             (lambda: _locked_elsewhere(path, exclusive=True), lambda: CorvaleBlobMap.load_from_file(str(path)))]
    if sys.platform.startswith("linux"):
        waits.append((lambda: _leased(path, "read", gives_up=False), lambda: new.save_to_file(str(path))))
    before = signal.signal(signal.SIGUSR1, lambda *_: None)  # what the lease holder sends while it holds on
    try:
        for elsewhere, call in waits:
            with elsewhere(), _ticking() as ticks, _alarm(_stop, 0.3), pytest.raises(Stop):
                call()
            assert len(ticks) > 30 and _read(path) == old_image
    finally:
        signal.signal(signal.SIGUSR1, before)


@requires_test_hooks
@pytest.mark.parametrize("forker", ["the paused thread", "another thread"])
def test_a_child_forked_during_a_save_in_place(tmp_path, forker):
    """A fork while a save in place holds the file, from the paused call's own
    thread (as a signal handler would) or from another thread. The child
    starts with none of the parent's holds: once the parent's save is done,
    it saves the file in place and loads it, as any other process would. The
    save that a child forked from its own thread then goes on with fails
    without writing (it shares the parent's open file): the file stays the
    child's own save's, whole."""
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    parent, (report, reported), (done, parent_done) = os.getpid(), os.pipe(), os.pipe()
    canceled = ("Failed to save file: Operation canceled (os error 125)", [])

    def fork():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # 3.12: forking a process with threads
            if os.fork() != 0:
                return
        os.read(done, 1)
        said = [_outcome(lambda: _save_in_place(_third(), path)), len(CorvaleBlobMap.load_from_file(str(path)))]
        os.write(reported, f"{said!r}\n".encode())
        if forker == "another thread":
            os._exit(0)

    def held():
        if forker == "the paused thread":
            fork()  # the child goes back to the save
        else:
            t = threading.Thread(target=fork)
            t.start()
            t.join()

    outer = None
    try:
        with _once_locked(held):
            outer = _outcome(lambda: _save_in_place(new, path))
    finally:
        if os.getpid() != parent:
            os.write(reported, f"{outer!r}\n".encode())
            os._exit(0)
    assert outer == len(_image(new, tmp_path)) and _read(path) == _image(new, tmp_path)
    os.write(parent_done, b"1")
    os.close(reported)
    with os.fdopen(report, "rb") as f:
        said = [ast.literal_eval(line) for line in f.read().decode().splitlines()]
    os.wait()
    os.close(done)
    os.close(parent_done)
    child_went_on = [canceled] if forker == "the paused thread" else []
    assert said == [[len(_image(_third(), tmp_path)), 1]] + child_went_on and _whole(path, [_third()])


# Daemon threads whose loads wait for another thread's save while the
# interpreter exits: they take the interpreter lock back at every nap, and
# the exit is clean.
_WAITING_AT_EXIT = """
import errno, os, sys, threading, time
from corvale_trie import CorvaleBlobMap, _corvale
path = os.path.join(sys.argv[1], "img")
m = CorvaleBlobMap(4096)
m.insert(1, b"x" * 100)
m.save_to_file(path)
holding = threading.Event()
def hook():
    if threading.current_thread().name == "holder":
        holding.set()
        time.sleep(100)
_corvale._pause_at("locked", hook)
def hold():
    _corvale._fail_chown_with(errno.EPERM)
    CorvaleBlobMap(4096).save_to_file(path)
threading.Thread(target=hold, name="holder", daemon=True).start()
holding.wait()
for _ in range(4):
    threading.Thread(target=lambda: CorvaleBlobMap.load_from_file(path), daemon=True).start()
time.sleep(0.1)
big = [str(i) for i in range(2_000_000)]  # freed at exit, while the waiters take the lock back
print("exiting")
"""


@requires_test_hooks
def test_daemon_threads_waiting_for_a_file_at_exit(tmp_path):
    done = subprocess.run([sys.executable, "-c", _WAITING_AT_EXIT, str(tmp_path)], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="leases are Linux's")
@pytest.mark.parametrize("call", ["save", "load"])
def test_a_lease_given_up_in_our_own_sigio_handler(tmp_path, call):
    """This process holds the lease and gives it up when the kernel tells it
    (SIGIO): the handler runs before the call waits, which then goes on at
    once, well within the lease-break time set for the test. (Left to wait,
    the call would sit it out: the kernel then breaks the lease, a read
    lease is gone and the handler's F_UNLCK fails.)"""
    break_time = "/proc/sys/fs/lease-break-time"
    if not os.access(break_time, os.W_OK):
        pytest.skip("the lease-break time cannot be set here")
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    fd = os.open(path, os.O_RDONLY if call == "save" else os.O_RDWR)
    given_up = []

    def give_up(*_):
        fcntl.fcntl(fd, F_SETLEASE, fcntl.F_UNLCK)
        given_up.append(1)

    before = signal.signal(signal.SIGIO, give_up)
    with open(break_time) as f:
        kept = f.read()
    try:
        with open(break_time, "w") as f:
            f.write("20")
        try:
            fcntl.fcntl(fd, F_SETLEASE, fcntl.F_RDLCK if call == "save" else fcntl.F_WRLCK)
        except OSError:
            pytest.skip("this file system takes no lease")
        start = time.monotonic()
        if call == "save":
            assert new.save_to_file(str(path)) == len(_image(new, tmp_path))
        else:
            assert len(CorvaleBlobMap.load_from_file(str(path))) == 1
        assert time.monotonic() - start < 10
    finally:
        signal.signal(signal.SIGIO, before)
        os.close(fd)
        with open(break_time, "w") as f:
            f.write(kept)
    assert given_up == [1]


@requires_test_hooks
def test_a_save_nested_in_a_save_to_the_same_stream_is_refused(tmp_path):
    """A FIFO that a save writes is held as its file is: a save to it nested
    in that one is refused, and the reader receives the outer image whole."""
    old, new = _maps()
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            with open(fifo, "rb") as f, open(tmp_path / "received", "wb") as out:
                out.write(f.read())
            code = 0
        finally:
            os._exit(code)
    seen = []
    with _once_locked(lambda: seen.append(_outcome(lambda: old.save_to_file(str(fifo))))):
        total = new.save_to_file(str(fifo))
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0 and seen == [(SAVE_DEADLOCK, [])]
    assert _read(tmp_path / "received") == _image(new, tmp_path) and total == len(_image(new, tmp_path))


def test_a_path_ending_in_a_slash_fails_as_open_does(tmp_path):
    """A save fails with the error that open(path, "wb") meets, a load's note
    gives the one that open(path, "rb") meets."""
    old, _ = _maps()
    old.save_to_file(str(tmp_path / "img"))
    (tmp_path / "sub").mkdir()
    for name in ("new/", "img/", "sub/", "sub/.", "missing/new/"):
        path = f"{tmp_path}/{name}"
        met = {}
        for mode in ("wb", "rb"):
            with pytest.raises(OSError) as e:
                open(path, mode).close()
            met[mode] = f"{os.strerror(e.value.errno)} (os error {e.value.errno})"
        assert _outcome(lambda: old.save_to_file(path)) == (f"Failed to save file: {met['wb']}", []), name
        assert _outcome(lambda: CorvaleBlobMap.load_from_file(path)) == (LOAD_FAILED, [met["rb"]]), name
    assert sorted(os.listdir(tmp_path)) == ["img", "sub"]


@requires_test_hooks
def test_a_load_that_cannot_read_its_file_says_why(tmp_path):
    """The message stays that of a damaged image; a note gives the system's
    error, and an image refused for what it holds has none."""
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "damaged").write_bytes(_read(path)[:70])
    (tmp_path / "private").write_bytes(_read(path))
    os.chmod(tmp_path / "private", 0o600)
    os.chmod(tmp_path, 0o755)

    def load(name):
        return lambda: CorvaleBlobMap.load_from_file(str(tmp_path / name))

    def as_nobody(call):
        if os.geteuid() != 0:
            os.chmod(tmp_path / "private", 0)
            return _outcome(call)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.setgid(65534)
                os.setuid(65534)
                os.write(w, repr(_outcome(call)).encode())
            finally:
                os._exit(0)
        os.close(w)
        with os.fdopen(r) as f:
            said = f.read()
        os.waitpid(pid, 0)
        return ast.literal_eval(said)

    under_save = []
    with _once_locked(lambda: under_save.append(_outcome(load("img")))):
        _save_in_place(new, path)
    assert {
        "missing": _outcome(load("none")),
        "a directory": _outcome(lambda: CorvaleBlobMap.load_from_file(str(tmp_path))),
        "a FIFO": _outcome(load("fifo")),
        "no permission": as_nobody(load("private")),
        "a deadlock": under_save[0],
        "damaged": _outcome(load("damaged")),
    } == {
        "missing": (LOAD_FAILED, ["No such file or directory (os error 2)"]),
        "a directory": (LOAD_FAILED, ["Is a directory (os error 21)"]),
        "a FIFO": (LOAD_FAILED, ["Illegal seek (os error 29)"]),
        "no permission": (LOAD_FAILED, ["Permission denied (os error 13)"]),
        "a deadlock": (LOAD_FAILED, [DEADLOCK]),
        "damaged": (LOAD_FAILED, []),
    }


@requires_test_hooks
@pytest.mark.skipif(not HAS_PROC_FD, reason="no /proc/self/fd")
def test_a_regular_file_written_in_place_through_its_path_is_flushed(tmp_path):
    """A save to /proc/self/fd/N of a deleted file writes that file in place
    through the path: after its last byte come the flush and the close,
    each of which can fail, with the note that the image is in place."""
    old, new = _maps()
    new_image = _image(new, tmp_path)
    path = tmp_path / "img"
    in_place = []
    for n in range(1, 1000):
        old.save_to_file(str(path))
        with open(path, "rb") as f:
            os.remove(path)
            _corvale._fail_file_step_after(n)
            try:
                new.save_to_file(f"/proc/self/fd/{f.fileno()}")
            except OSError as e:
                assert str(e) == IO_ERROR
                in_place.append(getattr(e, "__notes__", []) == [IN_PLACE])
                continue
            finally:
                _corvale._fail_file_step_after(0)
            assert os.pread(f.fileno(), len(new_image) + 1, 0) == new_image
            break
    assert in_place[-2:] == [True, True] and not any(in_place[:-2]) and os.listdir(tmp_path) == []


F_SETLEASE = getattr(fcntl, "F_SETLEASE", 1024)


@contextlib.contextmanager
def _leased(path, kind, gives_up):
    """Another process holds a lease of `kind` ("read" or "write") on `path`
    meanwhile. When the kernel tells it that a process opens the file
    (SIGIO), it gives the lease up (`gives_up`), or else signals this
    process (SIGUSR1) again and again, as long as the block lasts."""
    ready, done = os.pipe(), os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            fd = os.open(path, os.O_RDONLY if kind == "read" else os.O_RDWR)
            broken = []

            def on_break(*_):
                broken.append(1)
                if gives_up:
                    fcntl.fcntl(fd, F_SETLEASE, fcntl.F_UNLCK)

            signal.signal(signal.SIGIO, on_break)
            try:
                fcntl.fcntl(fd, F_SETLEASE, fcntl.F_RDLCK if kind == "read" else fcntl.F_WRLCK)
                os.write(ready[1], b"1")
            except OSError:
                os.write(ready[1], b"0")  # no leases here
            while not select.select([done[0]], [], [], 0.01)[0]:
                if broken and not gives_up:
                    os.kill(os.getppid(), signal.SIGUSR1)
            code = 0
        finally:
            os._exit(code)
    try:
        if os.read(ready[0], 1) != b"1":
            pytest.skip("this file system takes no lease")
        yield
    finally:
        os.write(done[1], b"1")
        _, status = os.waitpid(pid, 0)
        for fd in (*ready, *done):
            os.close(fd)
    assert os.waitstatus_to_exitcode(status) == 0


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="leases are Linux's")
@pytest.mark.parametrize("kind, call", [("read", "save"), ("write", "load"), ("write", "save")])
def test_a_save_and_a_load_wait_for_a_lease_as_open_does(tmp_path, kind, call):
    """A read lease is broken by a save, a write lease by any open: the call
    waits for the holder to give it up, then goes on; a signal handler that
    raises while it waits stops it, with nothing written."""
    old, new = _maps()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    old_image, new_image = _read(path), _image(new, tmp_path)

    def run():
        if call == "save":
            assert new.save_to_file(str(path)) == len(new_image)
        else:
            assert len(CorvaleBlobMap.load_from_file(str(path))) == 1

    with _leased(path, kind, gives_up=True):
        run()
    assert _read(path) == (new_image if call == "save" else old_image)

    old.save_to_file(str(path))
    stopped = []

    def stop(*_):
        if not stopped:
            stopped.append(1)
            raise Stop

    before = signal.signal(signal.SIGUSR1, stop)
    try:
        with pytest.raises(Stop), _leased(path, kind, gives_up=False):
            run()
    finally:
        signal.signal(signal.SIGUSR1, before)
    assert _read(path) == old_image and os.listdir(tmp_path) == ["img"]


# ---------------------------------------------------------------------------
# Signals during a save or a load


def _mid_save(directory, name):
    """Whether a save of `name` in `directory` has made its new file."""
    return any(n.startswith(f".{name}.corvale-save-") for n in os.listdir(directory))


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no interval timer")
def test_a_signal_handler_that_raises_stops_a_save_or_a_load(tmp_path):
    """The handlers act on a timer tick every millisecond, but only while the
    new file exists: whatever the machine's speed or load, they act in the
    middle of the save. A save that no tick saw there is tried again."""
    old, big = _maps()[0], _big_map()
    path = tmp_path / "img"
    old.save_to_file(str(path))
    old_image, fds = path.read_bytes(), _fds()

    def stop_mid_save(*_):
        if _mid_save(tmp_path, "img"):
            _stop()

    stopped = 0
    for _ in range(10):
        try:
            with _alarm(stop_mid_save, 0.001, 0.001):
                big.save_to_file(str(path))
        except Stop:
            stopped += 1
            assert os.listdir(tmp_path) == ["img"] and path.read_bytes() == old_image and _fds() == fds
            if stopped == 3:
                break
        else:
            old.save_to_file(str(path))  # no tick came mid-save
    else:
        pytest.fail(f"a timer tick came during only {stopped} of 10 saves")

    # A handler that returns lets the save go on; the directory it renames
    # meanwhile still receives the image.
    for attempt in range(5):
        d, moved = tmp_path / f"d{attempt}", tmp_path / f"moved{attempt}"
        os.mkdir(d)
        renamed = []

        def rename_once(*_, d=d, moved=moved, renamed=renamed):
            # A tick that comes while the handler runs runs it again inside
            # itself: whichever of the two renames first, the other finds d gone.
            with contextlib.suppress(FileNotFoundError):
                if not renamed and _mid_save(d, "img"):
                    os.rename(d, moved)
                    renamed.append(1)

        with _alarm(rename_once, 0.001, 0.001):
            total = big.save_to_file(str(d / "img"))
        if renamed:
            break
        shutil.rmtree(d)  # no tick came mid-save
    else:
        pytest.fail("no timer tick came during any of 5 saves")
    assert not d.exists() and os.listdir(moved) == ["img"] and os.path.getsize(moved / "img") == total

    frames = _corvale._live_frames() if hasattr(_corvale, "_live_frames") else None
    for _ in range(5):
        loaded = None
        try:
            with _alarm(_stop, 0.001, 0.001):
                loaded = CorvaleBlobMap.load_from_file(str(moved / "img"))
        except Stop:
            if loaded is None:
                break
        del loaded  # the load was done before the tick: again
    else:
        pytest.fail("no timer tick came during any of 5 loads")
    assert _fds() == fds and (frames is None or _corvale._live_frames() == frames)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no interval timer")
def test_a_save_to_a_fifo_without_a_reader_is_interrupted_in_open(tmp_path):
    _, new = _maps()
    image = _image(new, tmp_path)
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    with _alarm(_stop, 0.05), pytest.raises(Stop):
        new.save_to_file(fifo)

    # A handler that returns: the open is made again, until a reader comes.
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            time.sleep(0.2)
            with open(fifo, "rb") as f:
                code = 0 if f.read() == image else 1
        finally:
            os._exit(code)
    calls = []
    with _alarm(lambda *_: calls.append(1), 0.02, 0.02):
        total = new.save_to_file(fifo)
    _, status = os.waitpid(pid, 0)
    assert total == len(image) and os.waitstatus_to_exitcode(status) == 0 and calls


@requires_test_hooks
@pytest.mark.parametrize("written", ["replaced", "in place"])
def test_an_interrupt_at_each_check_keeps_the_old_image(tmp_path, written):
    """A handler raising at the n-th check, for every n: a save keeps the old
    image and leaves nothing (written in place, what it wrote so far), but
    at its checks once the new image is in place, right after the rename
    and after the directory's flush, or after the flush of a file written
    in place, which say so in a note; a load leaves no object; the
    exception is the handler's."""
    old, new = CorvaleBlobMap(1 << 20), CorvaleBlobMap(1 << 20)
    old.insert(1, b"old")
    for k in range(5):
        new.insert(k, bytes([k]) * 900_000)
    path = tmp_path / "img"
    old.save_to_file(str(path))
    old_image, fds, frames = path.read_bytes(), _fds(), _corvale._live_frames()
    new_image = _image(new, tmp_path)
    in_place_checks = 2 if written == "replaced" else 1
    save = (lambda: new.save_to_file(str(path))) if written == "replaced" else (lambda: _save_in_place(new, path))
    for call in (save, lambda: CorvaleBlobMap.load_from_file(str(path))):
        saving = old_image != new_image
        in_place = []
        for n in range(1, 1000):
            if path.read_bytes() != old_image:
                old.save_to_file(str(path))
            _corvale._interrupt_after(n)
            try:
                call()
                break
            except KeyboardInterrupt as e:
                assert os.listdir(tmp_path) == ["img"] and _fds() == fds and _corvale._live_frames() == frames
                assert getattr(e, "__notes__", []) in ([], [IN_PLACE])
                in_place.append(hasattr(e, "__notes__"))
                now = path.read_bytes()
                if in_place[-1]:
                    assert now == new_image
                elif saving and written == "in place":
                    assert len(now) < len(new_image) and new_image.startswith(now)
                else:
                    assert now == old_image
            finally:
                _corvale._interrupt_after(0)
        assert n >= 6  # a check before each piece of at most 1 MiB, and the last ones
        assert in_place == ([False] * (n - 1 - in_place_checks) + [True] * in_place_checks if saving else
                            [False] * (n - 1))
        old_image = path.read_bytes()


# ---------------------------------------------------------------------------
# Every path a load reads can be saved


def test_long_paths(tmp_path):
    if os.pathconf(tmp_path, "PC_PATH_MAX") < 4096:
        pytest.skip("the system's paths are shorter than 4,096 bytes")
    old, new = _maps(5)
    base = str(tmp_path)
    while len(base) < 4095 - 256:  # every length below has a name of 1 to 255 bytes
        base = os.path.join(base, "d" * 200)
    os.makedirs(base)
    for length in (4067, 4068, 4080, 4095):
        path = os.path.join(base, "n" * (length - len(base) - 1))
        assert len(path.encode()) == length
        for m in (old, new):
            assert m.save_to_file(path) == os.path.getsize(path)
        assert CorvaleBlobMap.load_from_file(path).get(0) == new.get(0)
    assert len(os.listdir(base)) == 4


def test_names_that_are_not_utf8(tmp_path):
    old, new = _maps(5)
    name = os.fsdecode(b"caf\xe9.img")
    for m in (old, new):
        m.save_to_file(str(tmp_path / name))
    assert b"caf\xe9.img" in os.listdir(os.fsencode(tmp_path))
    assert CorvaleBlobMap.load_from_file(str(tmp_path / name)).get(0) == new.get(0)
    with pytest.raises(UnicodeEncodeError) as e:
        new.save_to_file(str(tmp_path / "\ud800"))
    assert notes(e) == ["while processing 'path'"]
    with raises_exactly(OSError, "Failed to save file: file name contained an unexpected NUL byte"):
        new.save_to_file(name + "\0")
    with pytest.raises(TypeError):
        new.save_to_file(os.fsencode(tmp_path / name))
