import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Names.js" as Names

TestCase {
    name: "Names"

    function test_fileNames() {
        compare(Names.exportFileName("Wäsche µL 1.5"), "Wäsche µL 1.5.spl")
        compare(Names.exportFileName("a/b\\c?d%e*f:g|h\"i<j>k"), "a_b_c_d_e_f_g_h_i_j_k.spl")
        // The instrument takes ASCII letters and digits only.
        compare(Names.transferFileName("Wash3"), "Wash3.csv")
        compare(Names.transferFileName("Wäsche 1/2-µL"), "W_sche_1_2__L.csv")
    }

    function test_splBody() {
        compare(Names.splBody("protocol name: Wash\n\n\n  tipselect tip:small\naspirate x\n\n"), "  tipselect tip:small\naspirate x")
        compare(Names.splBody("protocol name: Wash"), "")
    }
}
