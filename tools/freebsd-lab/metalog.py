"""Print METALOG (mtree) lines for the files added under a FreeBSD root, so
makefs puts them into the image: every directory, file and symbolic link
below each given path, owned by root:wheel, with the mode it has here.

    python metalog.py ROOT PATH...   (PATHs relative to ROOT, e.g. morvex)
"""

import os
import stat
import sys


def line(root, path):
    st = os.lstat(os.path.join(root, path))
    mode = stat.S_IMODE(st.st_mode)
    name = "./" + path
    if stat.S_ISDIR(st.st_mode):
        return f"{name} type=dir uname=root gname=wheel mode={mode:04o}"
    if stat.S_ISLNK(st.st_mode):
        target = os.readlink(os.path.join(root, path))
        return f"{name} type=link uname=root gname=wheel mode=0755 link={target}"
    return f"{name} type=file uname=root gname=wheel mode={mode:04o}"


def main(root, paths):
    out = []
    for top in paths:
        top = top.strip("/")
        out.append(line(root, top))
        if os.path.isdir(os.path.join(root, top)) and not os.path.islink(os.path.join(root, top)):
            for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
                dirnames.sort()
                rel = os.path.relpath(dirpath, root)
                for n in dirnames + sorted(filenames):
                    out.append(line(root, os.path.join(rel, n)))
    # mtree names with spaces or other specials are escaped as octal.
    for entry in out:
        name, _, rest = entry.partition(" ")
        name = "".join(c if c.isprintable() and c not in " \\#" else "\\%03o" % ord(c) for c in name)
        print(f"{name} {rest}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:])
