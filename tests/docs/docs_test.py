#!/usr/bin/env python3
"""The documents say what works: every relative link in every Markdown file of the project leads
to a file (and heading) that exists, the README's commands are the ones that work, and the
changelog and the release guide tell the build's version and name what the repository holds.

    docs_test.py --source DIR [--tool PATH [--runner "wine"]]
                 [--version X.Y.Z --name NAME [--release-name NAME-X.Y.Z-win64|-win-arm64]]

Without --tool only the links and the quick start are checked; with it, the README's usage block
and its POSIX shell example are run against that build of the tool. With --version (the build's
PROJECT_VERSION) and --name (PROJECT_NAME), the changelog, the version's tag, the npm packages'
versions and the release guide's commands; --release-name is the release zip's name as the
build makes it, where the build makes one.
"""

import argparse
import datetime
import fnmatch
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = None
TOOL = None
RUNNER = []
VERSION = None
NAME = None
RELEASE_NAME = None

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
FENCE = re.compile(r"^```.*?^```", re.M | re.S)


def markdown_files():
    listed = subprocess.run(["git", "-C", SOURCE, "ls-files", "-z", "--", "*.md"],
                            capture_output=True, check=True).stdout
    return [name for name in listed.decode().split("\0") if name]


def read(name):
    with open(os.path.join(SOURCE, name), encoding="utf-8") as stream:
        return stream.read()


def anchors(text):
    # The anchors a hosting site gives headings: lower case, punctuation dropped, spaces to
    # hyphens, and a count after a repeated one.
    seen = {}
    for heading in re.findall(r"^#+ +(.+?) *$", FENCE.sub("", text), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        yield slug if count == 0 else "%s-%d" % (slug, count)


def code_block(text, after):
    # The first fenced block after the line `after`.
    start = text.index(after)
    return re.search(r"^```[^\n]*\n(.*?)^```", text[start:], re.M | re.S).group(1)


class LinkTest(unittest.TestCase):
    def test_every_relative_link_resolves(self):
        broken = []
        for name in markdown_files():
            text = read(name)
            for target in LINK.findall(re.sub(r"`[^`\n]*`", "", FENCE.sub("", text))):
                if re.match(r"[a-z][a-z0-9+.-]*:", target):
                    continue  # a web address, not a file of the project's
                path, _, anchor = target.partition("#")
                resolved = (os.path.normpath(os.path.join(os.path.dirname(name), path))
                            if path else name)
                if not os.path.exists(os.path.join(SOURCE, resolved)):
                    broken.append("%s: %s (no such file)" % (name, target))
                elif anchor and (not resolved.endswith(".md") or
                                 anchor not in set(anchors(read(resolved)))):
                    broken.append("%s: %s (no such heading)" % (name, target))
        self.assertEqual(broken, [])


class QuickStartTest(unittest.TestCase):
    def test_the_quick_start_names_the_scripts_ci_runs(self):
        block = code_block(read("README.md"), "## Quick start")
        commands = [line.split("#")[0].strip() for line in block.splitlines()]
        self.assertEqual(commands, ["bash tools/quickstart.sh", "bash tools/test.sh"])
        for command in commands:
            self.assertTrue(os.path.isfile(os.path.join(SOURCE, command.split()[1])), command)
        self.assertRegex(read(".ci/run"), r"(?m)^bash tools/test\.sh$")

    def test_the_readme_stays_a_newcomers_five_minutes(self):
        # The rest goes to docs/, one subject a file, linked from its index.
        self.assertLessEqual(len(read("README.md").splitlines()), 200)


class UsageTest(unittest.TestCase):
    def setUp(self):
        if TOOL is None:
            self.skipTest("needs --tool")
        if sys.platform == "win32":
            self.skipTest("the example is for a POSIX shell")

    def run_shell(self, script):
        # As a reader would: the tool as ./velkor-dpapi in the current folder, a profile of its own.
        folder = tempfile.mkdtemp(prefix="velkor-docs-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        launcher = os.path.join(folder, "velkor-dpapi")
        with open(launcher, "w") as stream:
            stream.write("#!/bin/sh\nexec %s \"$@\"\n" % shlex.join(RUNNER + [TOOL]))
        os.chmod(launcher, 0o755)
        env = dict(os.environ, HOME=folder)
        env.pop("XDG_DATA_HOME", None)
        result = subprocess.run(["sh", "-c", script], cwd=folder, env=env, capture_output=True,
                                timeout=120)
        return result.stdout, result.stderr, result.returncode

    def test_the_usage_block_lists_the_commands_the_tool_takes(self):
        # All four commands, each one the tool takes; the usage message, as the README says
        # under the block, names the three one-shot ones.
        block = code_block(read("README.md"), "## Use")
        words = re.findall(r"^velkor-dpapi (\w+)", block, re.M)
        self.assertEqual(words, ["protect", "unprotect", "selftest", "session"])
        self.assertIn("The usage message names the three one-shot commands; `session`",
                      read("README.md"))
        out, err, status = self.run_shell("./velkor-dpapi")
        self.assertEqual((out, status), (b"", 2))
        self.assertEqual(err.rstrip(b"\r\n"),
                         b"usage: velkor-dpapi " + "|".join(words[:3]).encode())
        for word in words + ["sessions"]:
            with self.subTest(word):
                _, err, status = self.run_shell("./velkor-dpapi %s </dev/null" % word)
                self.assertEqual(status == 2, word not in words, err)

    def test_the_posix_shell_example_round_trips(self):
        script = code_block(read("README.md"), "POSIX shell")
        out, err, status = self.run_shell(script)
        self.assertEqual((out.replace(b"\r\n", b"\n"), err, status), (b"76656c6b6f72\n", b"", 0))


def version_key(version):
    return tuple(int(part) for part in version.split("."))


def changelog_sections():
    # (version, "Unreleased" or the date), newest first, from the "## [X.Y.Z] - ..." headings.
    sections = []
    for heading in re.findall(r"^## (.*?) *$", read("CHANGELOG.md"), re.M):
        match = re.fullmatch(r"\[(\d+\.\d+\.\d+)\] - (Unreleased|\d{4}-\d\d-\d\d)", heading)
        if not match:
            raise AssertionError("CHANGELOG.md: %r is not '## [X.Y.Z] - Unreleased' nor "
                                 "'## [X.Y.Z] - YYYY-MM-DD' (what is not released yet goes under "
                                 "its version's Unreleased section)" % heading)
        sections.append(match.groups())
    return sections


def repository_tags():
    # The repository's tags, or None where they cannot be known: outside a git checkout, or in a
    # clone that fetched no tags (CI clones often fetch none; a repository with releases has them).
    listed = subprocess.run(["git", "-C", SOURCE, "tag", "--list"], capture_output=True)
    tags = set(listed.stdout.decode().split()) if listed.returncode == 0 else set()
    return tags or None


def npm_tarball(package, version):
    # The file name npm pack gives a package: "@scope/name" packs as scope-name-X.Y.Z.tgz.
    return "%s-%s.tgz" % (package.lstrip("@").replace("/", "-"), version)


class VersionTest(unittest.TestCase):
    def setUp(self):
        if VERSION is None:
            self.skipTest("needs --version")

    def test_the_newest_changelog_section_is_this_builds_version(self):
        sections = changelog_sections()
        self.assertTrue(sections, "CHANGELOG.md has no version section")
        self.assertEqual(sections[0][0], VERSION,
                         "the changelog's newest section must be the build's version; entries of "
                         "a version not released yet go under '## [%s] - Unreleased'" % VERSION)
        for index, (version, state) in enumerate(sections):
            with self.subTest(version=version):
                if state == "Unreleased":
                    self.assertEqual(index, 0, "only the newest section can be unreleased")
                else:
                    datetime.date.fromisoformat(state)
                if index:
                    newer_version, newer_state = sections[index - 1]
                    self.assertGreater(version_key(newer_version), version_key(version))
                    if newer_state != "Unreleased":
                        self.assertGreaterEqual(newer_state, state)

    def test_a_version_is_tagged_exactly_when_the_changelog_dates_it(self):
        tags = repository_tags()
        if tags is None:
            self.skipTest("this checkout holds no tags (a CI clone may fetch none): the versions' "
                          "tags are not checked")
        for version, state in changelog_sections():
            with self.subTest(version=version):
                if state == "Unreleased":
                    self.assertNotIn("v" + version, tags,
                                     "tagged as released: date its changelog section and open the "
                                     "next version (docs/release.md)")
                else:
                    self.assertIn("v" + version, tags, "dated in the changelog, never tagged")

    def test_every_file_that_carries_the_version_gives_this_one(self):
        client = json.loads(read("clients/node/package.json"))
        self.assertEqual(client["version"], VERSION)
        self.assertEqual(client["optionalDependencies"], {
            "@velkor-dpapi/win32-arm64": VERSION, "@velkor-dpapi/win32-x64": VERSION})
        # The platform packages and the version resource take it from the build, never a copy.
        for platform in ("win32-x64", "win32-arm64"):
            self.assertRegex(read("packaging/npm/%s/package.json.in" % platform),
                             r'\n  "version": "@PROJECT_VERSION@",\n')
        resource = read("packaging/velkor-dpapi.rc.in")
        for field in ("FILEVERSION", "PRODUCTVERSION"):
            self.assertRegex(resource, r"(?m)^%s @VELKOR_VERSION_COMMAS@$" % field)
        for field in ("FileVersion", "ProductVersion"):
            self.assertRegex(resource, r'(?m)^ *VALUE "%s", "@PROJECT_VERSION@"$' % field)


class ClientTestsTest(unittest.TestCase):
    FOLDER = "clients/node"

    def test_the_clients_test_command_and_readme_name_every_test_file(self):
        # A test file that the command leaves out is never run by `npm test`, nor by the suite,
        # which runs that command.
        files = sorted(os.path.relpath(path, os.path.join(SOURCE, self.FOLDER)) for path in
                       glob.glob(os.path.join(SOURCE, self.FOLDER, "test", "*.test.js")))
        self.assertTrue(files)
        command = json.loads(read(self.FOLDER + "/package.json"))["scripts"]["test"]
        self.assertEqual(command.split(), ["node", "--test"] + files)
        readme = read(self.FOLDER + "/README.md")
        tests = readme[readme.index("\n## Tests\n"):]
        self.assertEqual(sorted(set(re.findall(r"\btest/\w+\.test\.js\b", tests))), files)


class ReleaseGuideTest(unittest.TestCase):
    GUIDE = "docs/release.md"

    def setUp(self):
        if VERSION is None:
            self.skipTest("needs --version")
        self.text = read(self.GUIDE)
        with open(os.path.join(SOURCE, "CMakePresets.json"), encoding="utf-8") as stream:
            self.presets = json.load(stream)

    def test_every_preset_named_exists_for_its_command(self):
        kinds = {"cmake": "configurePresets", "cmake --build": "buildPresets",
                 "ctest": "testPresets", "cpack": "packagePresets"}
        named = re.findall(r"\b(cmake --build|cmake|ctest|cpack) --preset[ =]\"?([\w-]+)",
                           self.text)
        self.assertIn(("cpack", "windows"), named)
        for command, preset in named:
            with self.subTest(command=command, preset=preset):
                self.assertIn(preset, [entry["name"] for entry in self.presets[kinds[command]]])

    def test_every_path_named_exists(self):
        named = re.findall(r"(?<![\w./-])((?:tools|packaging|cmake|clients|tests|fuzz|src|docs|"
                           r"\.github|\.ci)/[\w./*-]*[\w/*])", self.text)
        named += re.findall(r"(?<![\w./-])(LICENSE|[A-Z]\w*\.(?:txt|md|json))\b", self.text)
        self.assertIn("tools/install-deps.sh", named)
        for path in named:
            with self.subTest(path):
                self.assertTrue(glob.glob(os.path.join(SOURCE, path)), "no such file")

    def test_every_build_folder_is_a_presets(self):
        folders = {entry["binaryDir"].replace("${sourceDir}/", "")
                   for entry in self.presets["configurePresets"]}
        named = set(re.findall(r"(?<![\w./-])(build/[\w-]+)", self.text))
        self.assertIn("build/windows", named)
        self.assertLessEqual(named, folders)

    def test_every_test_named_is_registered(self):
        registered = set()
        for listing in ("tests/CMakeLists.txt", "fuzz/CMakeLists.txt"):
            registered.update(re.findall(r"add_test\(NAME (\w+)", read(listing)))
        for name in re.findall(r"-R '\^(\w+)\$'", self.text):
            with self.subTest(name):
                self.assertIn(name, registered)

    def test_the_release_files_are_named_as_the_build_names_them(self):
        # The guide describes both releases: the x64 one (win64) and the ARM64 one (win-arm64),
        # and this build's must be one of them.
        releases = ["%s-%s-%s" % (NAME, VERSION, kind) for kind in ("win64", "win-arm64")]
        if RELEASE_NAME:
            self.assertIn(RELEASE_NAME, releases)
        client = json.loads(read("clients/node/package.json"))
        made = {npm_tarball(platform, VERSION) for platform in client["optionalDependencies"]}
        made.add(npm_tarball(client["name"], VERSION))
        for release in releases:
            made |= {release + "/", release + ".zip", release + ".zip.sha256"}
        named = {name.rstrip(".") for name in
                 re.findall(r"(?<![\w.-])([\w.-]+-\d+\.\d+\.\d+[\w.-]*/?)", self.text)}
        self.assertEqual(named, made)
        # Every version or tag the guide gives is this one's.
        self.assertEqual(set(re.findall(r"(?<![\w.])v?\d+\.\d+\.\d+(?![\w.]*\d)", self.text)),
                         {VERSION, "v" + VERSION})


class ReleaseWorkflowTest(unittest.TestCase):
    WORKFLOW = ".github/workflows/windows.yml"

    def test_every_platform_package_is_made_and_published_before_the_client(self):
        # A client on the registry whose platform package is not there breaks npm ci for its users.
        if VERSION is None:
            self.skipTest("needs --version")
        text = read(self.WORKFLOW)
        client = json.loads(read("clients/node/package.json"))
        published = re.findall(r"npm publish [^\n]*?release/(\S+)", text)
        def publish_index(package):
            matching = [index for index, pattern in enumerate(published)
                        if fnmatch.fnmatchcase(npm_tarball(package, VERSION), pattern)]
            self.assertEqual(len(matching), 1, "%s published %d times" % (package, len(matching)))
            return matching[0]
        client_index = publish_index(client["name"])
        self.assertEqual(client_index, len(published) - 1, "the client is not published last")
        packed = re.findall(r"cpack --preset (\S+)", text)
        # The client, which the x64 release packs, pins the ARM64 release's executable.
        self.assertLess(packed.index("windows-arm64"), packed.index("windows"), packed)
        preset_of = {"@velkor-dpapi/win32-x64": "windows",
                     "@velkor-dpapi/win32-arm64": "windows-arm64"}
        for package in client["optionalDependencies"]:
            with self.subTest(package):
                publish_index(package)
                self.assertIn(preset_of[package], packed)


def glob_match(path, pattern):
    """Whether a slash-separated path matches a shell glob, a wildcard never crossing a slash."""
    parts, wanted = path.split("/"), pattern.split("/")
    return len(parts) == len(wanted) and all(
        fnmatch.fnmatchcase(part, want) for part, want in zip(parts, wanted))


class ReleaseArtifactTest(unittest.TestCase):
    """The release job's files arrive where the later jobs look for them. upload-artifact keeps
    each file's path below the least common ancestor of the paths it was given (a folder given
    alone is that ancestor), and download-artifact puts them below its own path: this follows
    the files of both release builds through the workflow's steps, by those rules."""

    WORKFLOW = ".github/workflows/windows.yml"

    def setUp(self):
        if VERSION is None:
            self.skipTest("needs --version")
        self.text = read(self.WORKFLOW)

    def job(self, name):
        match = re.search(r"(?ms)^  %s:\n(.*?)(?=^  [\w-]+:\n|\Z)" % re.escape(name), self.text)
        self.assertIsNotNone(match, name)
        return match.group(1)

    def built(self):
        """The files the release job's builds leave in their folders, by path."""
        client = json.loads(read("clients/node/package.json"))
        files = set()
        for folder, release, platform in (
                ("build/windows", "%s-%s-win64" % (NAME, VERSION), "@velkor-dpapi/win32-x64"),
                ("build/windows-arm64", "%s-%s-win-arm64" % (NAME, VERSION),
                 "@velkor-dpapi/win32-arm64")):
            self.assertIn(platform, client["optionalDependencies"])
            files |= {"%s/%s" % (folder, name) for name in (
                release + ".zip", release + ".zip.sha256", npm_tarball(platform, VERSION))}
        files.add("build/windows/" + npm_tarball(client["name"], VERSION))
        return files

    def uploaded(self, job, files):
        """The files of the job's upload, by their paths in the artifact, after the job's copies
        into folders (`cp SOURCES... FOLDER/`)."""
        for command in re.findall(r"(?m)^\s*cp ((?:[^\n]*\\\n)*[^\n]*)", job):
            words = command.replace("\\\n", " ").split()
            folder = words[-1].rstrip("/")
            for source in words[:-1]:
                matched = [path for path in files if glob_match(path, source)]
                self.assertTrue(matched, "cp %s: no such file" % source)
                files = files | {folder + "/" + path.rsplit("/", 1)[-1] for path in matched}
        step = re.search(r"(?ms)uses: actions/upload-artifact@\S+\n(.*?)(?=^      - |\Z)", job)
        key = re.search(r"(?m)^( +)path: *(\S*)$", step.group(1))
        paths = [] if key.group(2) in ("|", "") else [key.group(2)]
        for line in step.group(1)[key.end() + 1:].splitlines() if not paths else []:
            if len(line) - len(line.lstrip()) <= len(key.group(1)) or not line.strip():
                break
            paths.append(line.strip())
        found, roots = set(), []
        for path in paths:
            if path.endswith("/") or any(f.startswith(path.rstrip("/") + "/") for f in files):
                folder = path.rstrip("/")
                found |= {f for f in files if f.startswith(folder + "/")}
                roots.append(folder.split("/"))
            else:
                found |= {f for f in files if glob_match(f, path)}
                literal = []
                for part in path.split("/")[:-1]:
                    if re.search(r"[*?\[]", part):
                        break
                    literal.append(part)
                roots.append(literal)
        root = []
        for parts in zip(*roots):
            if len(set(parts)) != 1:
                break
            root.append(parts[0])
        prefix = "/".join(root) + "/" if root else ""
        return {f[len(prefix):] for f in found}

    def test_every_later_job_finds_the_files_it_looks_for(self):
        artifact = self.uploaded(self.job("release"), self.built())
        for name in ("arm64-windows", "publish"):
            job = self.job(name)
            with self.subTest(job=name):
                into = re.search(r"(?ms)download-artifact@\S+\n.*?^ +path: *(\S+)", job).group(1)
                files = {into + "/" + path for path in artifact}
                # Expand-Archive unpacks each zip into its folder: the release's folder and exe.
                if "Expand-Archive" in job:
                    files |= {path[:-len(".zip")] + "/velkor-dpapi.exe" for path in files
                              if path.endswith(".zip")}
                patterns = re.findall(r"(?<![\w/.-])%s/[^\s\"')]+" % re.escape(into), job)
                located = re.search(r"Set-Location %s\n(.*)" % re.escape(into), job, re.S)
                if located:
                    patterns += [into + "/" + pattern for pattern in
                                 re.findall(r"Get-ChildItem ([^\s)]+)", located.group(1))]
                self.assertTrue(patterns)
                for pattern in patterns:
                    matched = [path for path in files if glob_match(path, pattern)]
                    self.assertTrue(matched, "%s finds nothing in %s" % (pattern, sorted(files)))
                    if pattern.endswith(".zip.sha256"):
                        self.assertEqual(len(matched), 2, "the two zips' checksum files")


def main():
    global SOURCE, TOOL, RUNNER, VERSION, NAME, RELEASE_NAME
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--tool")
    parser.add_argument("--runner", default="")
    parser.add_argument("--version")
    parser.add_argument("--name", default="velkor-dpapi")
    parser.add_argument("--release-name")
    args, rest = parser.parse_known_args()
    SOURCE = os.path.abspath(args.source)
    TOOL = os.path.abspath(args.tool) if args.tool else None
    RUNNER = shlex.split(args.runner)
    VERSION, NAME, RELEASE_NAME = args.version, args.name, args.release_name
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
