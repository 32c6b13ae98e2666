#!/usr/bin/python3
"""Writes the QA workbook fixtures beside this script, so the tests need no Python.

Balance exports are named A-<serial>-<date>.xlsx; these follow that pattern with a "Q"
so the certification panel can read a serial number from each name. Run it again after
changing it and commit the .xlsx files it writes (the output is byte-for-byte stable).
"""
import datetime
import io
import os
import re
import statistics
import zipfile

import openpyxl

HERE = os.path.dirname(os.path.abspath(__file__))
POINTS = [1, 20, 200, 100, 1000]
TIP = {1: "Small", 20: "Small", 200: "Small", 100: "Large", 1000: "Large"}
Z = 1.0030
# A balance's ten readings scatter around their mean; the offsets sum to zero.
PATTERN = [0.3, -0.2, 0.1, -0.4, 0.2, 0.0, -0.1, 0.4, -0.3, 0.0]
SPREAD = {1: 0.02, 20: 0.005, 200: 0.005, 100: 0.005, 1000: 0.005}
MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
RELS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
FIXED_TIME = (2026, 12, 7, 9, 0, 0)


def passing_weights(cp):
    mean = cp / Z * 1.001
    return [round(mean * (1 + SPREAD[cp] * p), 4) for p in PATTERN]


def weights_with_cv(cp, cv):
    """Ten weights, five above and five below the mean, whose sample CV is `cv`."""
    mean = round(cp / Z, 1)
    d = cv * mean / (10 / 9) ** 0.5
    weights = [round(mean + d, 4), round(mean - d, 4)] * 5
    actual = statistics.stdev(weights) / statistics.mean(weights)
    assert abs(actual - cv) < 2e-7, actual
    return weights


def measurements(ws, weights_by_point, cp_text=None):
    """A balance export's measurement sheet: a title, the instrument, headers, then one
    row per reading in columns A..K (C point, G weight, K Z factor)."""
    ws.append(["Gravimetric QA export"])
    ws.append(["Instrument", "NS-CFD10E", None, "Balance", "XPR205"])
    ws.append([])
    ws.append(["Run", "Channel", "Cal Point (µL)", "Tip", "Rep", "Time", "Weight (mg)",
               "Water Temp (°C)", "Humidity (%)", "Pressure (hPa)", "Z Factor"])
    run = 0
    for cp in POINTS:
        for rep, weight in enumerate(weights_by_point.get(cp, []), 1):
            run += 1
            point = cp_text.get(cp, cp) if cp_text else cp
            ws.append([run, "1", point, TIP[cp], rep, "09:%02d:%02d" % (run // 60, run % 60), weight,
                       21.4, 45.2, 1012.8, Z])


def workbook(sheet_names, data_sheet, weights_by_point, **options):
    wb = openpyxl.Workbook()
    wb.properties.created = wb.properties.modified = datetime.datetime(*FIXED_TIME)
    wb.active.title = sheet_names[0]
    for name in sheet_names[1:]:
        wb.create_sheet(name)
    summary = wb[sheet_names[0]]
    summary.append(["Summary", None, 12.5, None, None, None, 99.9])   # numbers in C and G that are no readings
    measurements(wb[data_sheet], weights_by_point, **options)
    return wb


def zip_bytes(wb):
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


def rewrite(data, edits, added=None):
    """The archive with some parts' text edited and others added, deflated, stable."""
    src = zipfile.ZipFile(io.BytesIO(data))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as dst:
        for name in src.namelist():
            body = src.read(name)
            if name in edits:
                body = edits[name](body.decode("utf-8")).encode("utf-8")
            dst.writestr(zipfile.ZipInfo(name, FIXED_TIME), body, zipfile.ZIP_DEFLATED)
        for name, body in (added or {}).items():
            dst.writestr(zipfile.ZipInfo(name, FIXED_TIME), body.encode("utf-8"), zipfile.ZIP_DEFLATED)
    return out.getvalue()


def sheet_part(data, index):
    return "xl/worksheets/sheet%d.xml" % (index + 1)


def to_shared_strings(data, sheet_count):
    """Excel's way: cell text in xl/sharedStrings.xml, relative relationship targets."""
    strings = []

    def share(match):
        text = match.group(3)
        if text not in strings:
            strings.append(text)
        return '<c %st="s"%s><v>%d</v></c>' % (match.group(1), match.group(2), strings.index(text))

    inline = re.compile(r'<c ([^>]*?)t="inlineStr"([^>]*)><is><t(?: [^>]*)?>(.*?)</t></is></c>')
    edits = {sheet_part(data, i): (lambda xml: inline.sub(share, xml)) for i in range(sheet_count)}
    # Two passes: the strings are only known once every sheet has been rewritten.
    first = rewrite(data, edits)
    sst = '<sst xmlns="%s" count="%d" uniqueCount="%d">%s</sst>' % (
        MAIN, len(strings), len(strings), "".join("<si><t>%s</t></si>" % s for s in strings))
    rels = lambda xml: xml.replace('Target="/xl/', 'Target="').replace(
        "</Relationships>", '<Relationship Type="%s/sharedStrings" Target="sharedStrings.xml" Id="rId99"/>'
        "</Relationships>" % RELS)
    types = lambda xml: xml.replace("</Types>", '<Override PartName="/xl/sharedStrings.xml" ContentType='
                                    '"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>'
                                    "</Types>")
    return rewrite(first, {"xl/_rels/workbook.xml.rels": rels, "[Content_Types].xml": types},
                   {"xl/sharedStrings.xml": sst})


def prefixed(xml):
    """The main namespace under the prefix x, as some writers emit it."""
    xml = re.sub(r"<(/?)([A-Za-z]\w*)([ />])", r"<\1x:\2\3", xml)
    return xml.replace('xmlns="%s"' % MAIN, 'xmlns:x="%s"' % MAIN)


def relationship_prefix(xml):
    """The sheet's id under another prefix than r: only its namespace names it."""
    return xml.replace("xmlns:r=", "xmlns:rel=").replace(" r:id=", " rel:id=")


def with_bad_values(data, part):
    """Cells no reader may count: non-finite numbers without a type."""
    return rewrite(data, {part: lambda xml: xml.replace("<v>123456.789</v>", "<v>inf</v>")
                          .replace("<v>234567.891</v>", "<v>nan</v>").replace("<v>345678.912</v>", "<v>1e999</v>")})


def save(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def main():
    sheets = ["Summary", "Measurements", "Balance", "Settings", "Audit"]
    passing = {cp: passing_weights(cp) for cp in POINTS}

    # The sheet named Measurements is the second; the fourth holds nothing.
    real = zip_bytes(workbook(sheets, "Measurements", passing))
    save("Q-NS-CFD10E-20261207.xlsx", to_shared_strings(real, len(sheets)))
    save("Q-NS-INLINE-20261207.xlsx", rewrite(real, {}))

    # C written as 0.5 and 19.6: filed under 1 and 20 µL.
    odd_points = zip_bytes(workbook(sheets, "Measurements", passing, cp_text={1: 0.5, 20: 19.6}))
    save("Q-NS-PREFIX-20261207.xlsx",
         rewrite(odd_points, {sheet_part(odd_points, 1): prefixed,
                              "xl/workbook.xml": lambda xml: relationship_prefix(prefixed(xml))}))

    # 0.3008 % at the 0.3 % limit: a pass only when the spread is divided by the volume.
    random = {**passing, 1000: weights_with_cv(1000, 0.003008)}
    save("Q-NS-RANDOM-20261207.xlsx", rewrite(zip_bytes(workbook(sheets, "Measurements", random)), {}))

    nine = {**passing, 20: passing[20][:9]}
    save("Q-NS-NINE-20261207.xlsx", rewrite(zip_bytes(workbook(sheets, "Measurements", nine)), {}))

    # Every point keeps its ten readings; each extra row below must count for nothing.
    wb = workbook(sheets, "Measurements", passing)
    ws = wb["Measurements"]
    for bad in ["#DIV/0!", True, "=1/0", "inf", 123456.789, 234567.891, 345678.912, None]:
        ws.append([99, "1", 20, "Small", 11, "09:59:00", bad, 21.4, 45.2, 1012.8, Z])
    ws.append([99, "1", "20", "Small", 12, "09:59:01", 19.9, 21.4, 45.2, 1012.8, Z])   # C as text
    save("Q-NS-ERRORS-20261207.xlsx", with_bad_values(rewrite(zip_bytes(wb), {}), sheet_part(None, 1)))

    save("Q-NS-NOSHEET-20261207.xlsx",
         rewrite(zip_bytes(workbook(["Summary", "Data"], "Data", passing)), {}))
    fourth = ["Summary", "Setup", "Notes", "Balance data"]
    save("Q-NS-FOURTH-20261207.xlsx", rewrite(zip_bytes(workbook(fourth, "Balance data", passing)), {}))

    # Ten readings of 0.9970 mg at 1 µL and no other point.
    save("Q-NS-ONEPOINT-20261207.xlsx",
         rewrite(zip_bytes(workbook(sheets, "Measurements", {1: [0.9970] * 10})), {}))


if __name__ == "__main__":
    main()
