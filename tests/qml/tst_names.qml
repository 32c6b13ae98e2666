import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Names.js" as Names

TestCase {
    name: "Names"

    function test_exportFileName_data() {
        return [
            { tag: "plain", name: "Serial Dilution", expected: "Serial Dilution.spl" },
            { tag: "every unsafe character", name: "a/b\\c?d%e*f:g|h\"i<j>k", expected: "a_b_c_d_e_f_g_h_i_j_k.spl" },
            { tag: "spaces and dots stay", name: "Mix 1.5 x", expected: "Mix 1.5 x.spl" },
            { tag: "repeated characters", name: "::", expected: "__.spl" },
            { tag: "unicode stays", name: "Wäsche µL", expected: "Wäsche µL.spl" }
        ]
    }
    function test_exportFileName(row) {
        compare(Names.exportFileName(row.name), row.expected)
    }

    function test_transferFileName_data() {
        return [
            { tag: "space and slash", name: "Mix 1/2", expected: "Mix_1_2.csv" },
            { tag: "letters and digits stay", name: "Wash3", expected: "Wash3.csv" },
            { tag: "non-ASCII letters replaced", name: "Wäsche µL", expected: "W_sche__L.csv" },
            { tag: "dots and dashes replaced", name: "a.b-c_d", expected: "a_b_c_d.csv" }
        ]
    }
    function test_transferFileName(row) {
        compare(Names.transferFileName(row.name), row.expected)
    }

    function test_splBody_data() {
        return [
            { tag: "header and blank lines go", spl: "protocol \"Wash\"\n\ntipselect tip:small\naspirate tip:small vol:10.0 xvol:0 speed:5\n",
              expected: "tipselect tip:small\naspirate tip:small vol:10.0 xvol:0 speed:5" },
            { tag: "indentation of the first step kept", spl: "header\n\n\n  loop 2\n", expected: "  loop 2" },
            { tag: "header only", spl: "header\n", expected: "" },
            { tag: "no line break", spl: "header", expected: "" }
        ]
    }
    function test_splBody(row) {
        compare(Names.splBody(row.spl), row.expected)
    }

    function test_formatModified() {
        compare(Names.formatModified(new Date(2026, 9, 14, 10, 0, 17)), "Oct 14, 2026")
        compare(Names.formatModified(new Date(2025, 0, 3)), "Jan 3, 2025")
        compare(Names.formatModified(new Date(NaN)), "")
        compare(Names.formatModified(undefined), "")
    }

    function test_stepCountText() {
        compare(Names.stepCountText(0), "0 steps")
        compare(Names.stepCountText(1), "1 step")
        compare(Names.stepCountText(12), "12 steps")
    }
}
