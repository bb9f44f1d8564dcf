"""CorvaleBlobMap.save_to_file and load_from_file: the access a replacing save
hands on, paths that name an open file, signals during a save or a load, and
the paths a save reaches (long ones, names that are not UTF-8)."""

import contextlib
import errno
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

import pytest

from corvale_trie import CorvaleBlobMap, _corvale
from conftest import notes, raises_exactly, requires_test_hooks

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


def _as_user(uid, groups, call):
    """call() in a child process of user uid, a member of `groups` (the first
    its primary group): True when it returned, False when it raised
    PermissionError."""
    pid = os.fork()
    if pid == 0:
        code = 2
        try:
            os.setgroups(groups)
            os.setgid(groups[0])
            os.setuid(uid)
            call()
            code = 0
        except PermissionError:
            code = 1
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) in (0, 1)
    return os.waitstatus_to_exitcode(status) == 0


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
            _corvale._after_path_stat(hook)
            try:
                assert new.save_to_file(target) == len(ours)
            finally:
                _corvale._after_path_stat(None)
            assert _read(img) == ours and sorted(os.listdir(tmp_path)) == sorted(["img", *["link"] * through_link])
            for f in committed:
                f.seek(0)
                assert f.read() == theirs and os.fstat(f.fileno()).st_ino != os.stat(img).st_ino
            # Through a link the disagreement makes the save start over, a
            # few times at most; the path's own name is replaced at once.
            assert len(calls) == 1 if not through_link else 1 < len(calls) < 10
        assert len(committed) >= 3


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
def test_an_interrupt_at_each_check_keeps_the_old_image(tmp_path):
    """A handler raising at the n-th check, for every n: a save keeps the old
    image and leaves nothing, but at its last two checks, right after the
    rename and after the directory's flush, which find the new image in
    place and say so in a note; a load leaves no object; the exception is
    the handler's."""
    old, new = CorvaleBlobMap(1 << 20), CorvaleBlobMap(1 << 20)
    old.insert(1, b"old")
    for k in range(5):
        new.insert(k, bytes([k]) * 900_000)
    path = tmp_path / "img"
    old.save_to_file(str(path))
    old_image, fds, frames = path.read_bytes(), _fds(), _corvale._live_frames()
    new_image = _image(new, tmp_path)
    for call in (lambda: new.save_to_file(str(path)), lambda: CorvaleBlobMap.load_from_file(str(path))):
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
                assert path.read_bytes() == (new_image if in_place[-1] else old_image)
            finally:
                _corvale._interrupt_after(0)
        assert n >= 6  # a check before each piece of at most 1 MiB, and the rename
        assert in_place == [False] * (n - 3) + [True, True] if old_image != new_image else not any(in_place)
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
