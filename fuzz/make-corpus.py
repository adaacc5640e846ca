#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from the test fixtures.

Each seed is a real file made by a real tool (the fixtures' own scripts), in
the framing its target expects; the request lines are one well-formed request
per operation. Run again after the fixtures change; the output is committed.
"""
import json
import pathlib

root = pathlib.Path(__file__).resolve().parent.parent
fixtures = root / "tests" / "fixtures"
corpus = root / "fuzz" / "corpus"

# The seed size limit: the image inspection target runs with -max_len 16384.
small = 16384


def fresh(name):
    """The target's seed directory, emptied of everything but the inputs of
    past findings ("regression-*", "found-*"), which stay seeds for good."""
    directory = corpus / name
    directory.mkdir(parents=True, exist_ok=True)
    for path in directory.iterdir():
        if not path.name.startswith(("regression-", "found-", "real-")):
            path.unlink()
    return directory


def images():
    for directory in ("image_bytes", "images", "image_pipeline", "pdf_writer"):
        for path in sorted((fixtures / directory).iterdir()):
            if path.suffix in (".sh", ".icc") or path.stat().st_size > small:
                continue
            yield directory, path


def request_lines():
    request_id = "3F2504E0-4F89-41D3-9A0C-0305E82C3301"
    staging_id = "5e6f7a8b-9c0d-4e1f-a2b3-c4d5e6f7a8b9"
    staging_name = ".quorvantelmic-stage-00112233445566778899aabbccddeeff"

    def staged(extension, digit="0"):
        return "/dev/fd/4/output-" + digit * 32 + "." + extension

    def name(extension, digit="0"):
        return "output-" + digit * 32 + "." + extension

    identity = {"device": "66306", "inode": "1234567", "size": "0", "modifiedSeconds": "1700000000",
                "modifiedNanoseconds": "999999999", "statusChangedSeconds": "-1", "statusChangedNanoseconds": "0"}
    options = {"quality": 0.8, "metadataPolicy": "preserve", "orientationPolicy": "preserve",
               "targetTypeIdentifier": "public.png", "maximumWidth": None, "maximumHeight": 1000000}
    staging = {"destinationPath": "/dev/fd/3", "destinationIdentity": identity, "stagingId": staging_id,
               "stagingName": staging_name}
    owned = dict(staging, stagingIdentity=identity, ownerIdentity=identity)
    publication = {"destinationPath": "/dev/fd/3", "destinationDisplayPath": "/home/someone/Pictures",
                   "destinationIdentity": identity, "stagingName": staging_name, "stagingId": staging_id,
                   "stagingIdentity": identity, "ownerIdentity": identity}
    member = {"outputName": name("png", "1"), "outputIdentity": identity, "outputSha256": "a" * 64,
              "outputBaseName": "Page 1", "outputExtension": "png"}
    payloads = {
        "hello": {},
        "capabilities": {},
        "inspect-image": {"sourcePath": "/dev/fd/3"},
        "convert-image": {"sourcePath": "/dev/fd/3", "outputPath": staged("png"), "options": options},
        "inspect-pdf": {"sourcePath": "/dev/fd/3"},
        "images-to-pdf": {"sourcePaths": ["/dev/fd/3", "/dev/fd/5"], "outputPath": staged("pdf")},
        "merge-pdfs": {"sourcePaths": ["/dev/fd/3", "/dev/fd/5"], "outputPath": staged("pdf")},
        "pdf-pages-to-png": {"options": {"dpi": 144}, "sourcePath": "/dev/fd/3",
                             "outputPaths": [staged("png", "1"), staged("png", "2")]},
        "pdf-pages-to-jpeg": {"options": {"dpi": 144, "jpegQuality": 0.8}, "sourcePath": "/dev/fd/3",
                              "outputPaths": [staged("jpg", "1")]},
        "split-pdf": {"sourcePath": "/dev/fd/3", "outputPaths": [staged("pdf", "1"), staged("pdf", "2")]},
        "rotate-pdf-clockwise": {"sourcePath": "/dev/fd/3", "outputPath": staged("pdf")},
        "compress-pdf-flattened": {"sourcePath": "/dev/fd/3", "outputPath": staged("pdf"),
                                   "options": {"dpi": 150, "jpegQuality": 0.6}},
        "ocr-pdf-english": {"sourcePath": "/dev/fd/3", "outputPath": staged("pdf")},
        "prepare-staging": dict(staging, outputName=name("png")),
        "prepare-staging-set": dict(staging, outputNames=[name("png", "1"), name("png", "2")]),
        "cleanup-staging": dict(owned, outputName=name("png"),
                                output={"identity": identity, "sha256": "b" * 64}),
        "cleanup-staging-set": dict(owned, outputNames=[name("png", "1")], outputs=[]),
        "publish-output": dict(publication, outputName=name("jpg"), outputIdentity=identity,
                               outputSha256="c" * 64, outputBaseName="Holiday", outputExtension="jpg"),
        "publish-output-set": dict(publication, outputs=[member]),
    }
    for operation, payload in payloads.items():
        request = {"operation": operation, "requestId": request_id, "protocolVersion": 4}
        request.update(payload)
        yield operation, json.dumps(request, separators=(",", ":"))


def main():
    decoder = fresh("fuzz_request_decoder")
    for operation, line in request_lines():
        # Seeds are named after their operation, with "inspect" read as "probe"
        # so that no file name looks like a reference to outside documents.
        (decoder / (operation.replace("inspect", "probe") + ".json")).write_text(line)

    # The first byte picks the scanner, in the order of the target's table.
    scanner_index = {".jpg": 0, ".png": 1, ".tif": 2, ".tiff": 2, ".bmp": 3, ".gif": 4, ".webp": 5,
                     ".avif": 6, ".heic": 7}
    scanners = fresh("fuzz_container_scanners")
    completeness = fresh("fuzz_container_completeness")
    inspection = fresh("fuzz_image_probing")
    for directory, path in images():
        data = path.read_bytes()
        seed = directory + "-" + path.name
        (completeness / seed).write_bytes(data)
        (inspection / seed).write_bytes(data)
        if path.suffix in scanner_index:
            (scanners / seed).write_bytes(bytes([scanner_index[path.suffix]]) + data)

    # Selector byte (0 JPEG, 1 PNG), profile length in two bytes, profile, image.
    embedding = fresh("fuzz_icc_embedding")
    profiles = [fixtures / "image_pipeline" / "display-p3.icc", fixtures / "image_bytes" / "profile.icc"]
    targets = {0: ["image_bytes/plain.jpg", "image_bytes/profile.jpg", "images/cmyk.jpg"],
               1: ["image_bytes/plain.png", "image_bytes/profile.png", "images/palette-trns.png"]}
    for selector, names in targets.items():
        for number, image in enumerate(names):
            profile = profiles[number % 2].read_bytes()
            data = bytes([selector, len(profile) >> 8, len(profile) & 0xFF]) + profile + (fixtures / image).read_bytes()
            (embedding / image.replace("/", "-")).write_bytes(data)

    names = fresh("fuzz_pdf_name_scanner")
    pdfs = fresh("fuzz_pdf_probing")
    for directory in ("pdf", "pdf_ocr"):
        for path in sorted((fixtures / directory).glob("*.pdf")):
            (names / (directory + "-" + path.name)).write_bytes(path.read_bytes())
            (pdfs / (directory + "-" + path.name)).write_bytes(path.read_bytes())

    # The operation targets run a whole conversion, rendering or document per
    # input, so their seeds are few: one small real file per format and kind,
    # and the drawing-cost pages (shadings, JPEG 2000) for rendering.
    conversion_seeds = ["image_bytes/plain.jpg", "image_bytes/profile.png", "image_bytes/plain.gif",
                        "image_bytes/plain.bmp", "image_bytes/profile-le.tif", "image_bytes/plain.webp",
                        "image_bytes/plain.avif", "images/cmyk.jpg", "images/palette-trns.png",
                        "images/gray-alpha.png", "images/orientation-6.jpg", "images/photo-metadata.png"]
    conversion = fresh("fuzz_image_conversion")
    for name in conversion_seeds:
        (conversion / name.replace("/", "-")).write_bytes((fixtures / name).read_bytes())

    rendering = fresh("fuzz_pdf_rendering")
    rendering_seeds = ["pdf/plain-page.pdf", "pdf/text-pages.pdf", "pdf/form-xobject-text.pdf", "pdf/rotations.pdf",
                       "pdf/image-only.pdf", "pdf/object-streams.pdf", "pdf/mediabox-crop-smaller.pdf",
                       "pdf/drawing-cost/shadings-everyday.pdf", "pdf/drawing-cost/shading-function-20-operators.pdf",
                       "pdf/drawing-cost/jpx-photo.pdf"]
    for name in rendering_seeds:
        path = fixtures / name
        if path.stat().st_size <= 32768:
            (rendering / name.replace("/", "-")).write_bytes(path.read_bytes())

    # A count byte (parts - 1), then every part but the last preceded by its
    # two-byte length.
    def framed(*names):
        parts = [(fixtures / name).read_bytes() for name in names]
        data = bytes([len(parts) - 1])
        for part in parts[:-1]:
            data += bytes([len(part) >> 8, len(part) & 0xFF]) + part
        return data + parts[-1]

    bound = fresh("fuzz_images_to_pdf")
    for number, names in enumerate([["image_bytes/plain.jpg"], ["images/palette-trns.png"],
                                    ["image_bytes/plain.gif", "images/orientation-6.jpg"],
                                    ["images/cmyk.jpg", "image_bytes/plain.webp", "image_bytes/plain.bmp"]]):
        (bound / f"images-{number + 1}-{'-'.join(pathlib.Path(n).stem for n in names)}").write_bytes(framed(*names))


    # Staging sessions: a colour byte for the source, then one step after
    # another (the step byte modulo 8 and its arguments, in the order the
    # target reads them; 7 leaves a presented identity or digest as it is).
    prepare, prepare_set, write, publish, publish_set, cleanup, interfere, fail = range(8)
    keep = 7
    single_png = [prepare, 0, 0, keep, write, 0, 0, 0]
    publish_first = [publish, 0, 0, keep, keep, keep, keep, keep, 0]
    cleanup_first = [cleanup, 0, keep, keep, keep, keep]
    page_set = [prepare_set, 1, 2, 0, 5, 1, keep,
                write, 1, 1, 1, 3, 0x25, 0x50, 0x44, 0x46, write, 1, 0, 0, write, 1, 2, 0]
    publish_pages = [publish_set, 1, keep, keep, keep, 1] + [keep] * 6
    sessions = {
        "publish-and-clean-up": single_png + publish_first + cleanup_first,
        # "Page 1.png" taken by the user before the set is published.
        "set-beside-a-taken-name": page_set + [interfere, 0, 0x41, 0, 0, 0, 0, 1, 0] + publish_pages
        + [cleanup, 1, keep, keep, keep],
        # The link fails once; the retry publishes.
        "link-fails-then-retry": single_png + [fail, 2, 0, 0, 0] + publish_first + publish_first + cleanup_first,
        # The output's synchronisation fails after the link.
        "sync-fails-after-link": single_png + [fail, 0, 1, 0, 0] + publish_first + publish_first + cleanup_first,
        # The removal of the pin after the commit fails.
        "pin-removal-fails": single_png + [fail, 3, 0, 0, 0] + publish_first + cleanup_first,
        # Cleanup with short reads, then the user replaces the staged output.
        "short-reads-and-a-replaced-output": single_png + [fail, 4, 0, 0, 2] + cleanup_first + single_png
        + [interfere, 2, 0x42, 2] + publish_first + cleanup_first,
        # A staging directory name the user holds already.
        "staging-name-taken": [interfere, 0, 0x43, 0, 0, 5, 0] + single_png + publish_first,
    }
    staging = fresh("fuzz_staging_sessions")
    for name, steps in sessions.items():
        (staging / name).write_bytes(bytes([0x40] + steps))


main()
