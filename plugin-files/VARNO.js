// SPDX-License-Identifier: GPL-3.0-or-later
// VARNO v@PROJECT_VERSION@ dialog script.
//
// The host runs this script to show the plug-in's dialog. The script keeps the user's
// choices in the host's dialog parameters, names a step in "task" and asks the host to
// run the plug-in; the plug-in reads what it needs and writes its results back.
//
// Host objects used here:
//   host.getStringParameter(name), host.setStringParameter(name, value)
//   host.getIntParameter(name),    host.setIntParameter(name, value)
//   host.executePlugin()            runs one step of the plug-in ("task")
//   dialog.<control>                the controls of the dialog form

var VARNO = {
    // Two projects with opposite phase encoding: index 0 is corrected with +VDM,
    // index 1 with -VDM.
    projects: [
        { file: "", volumes: 0, volume: 0 },
        { file: "", volumes: 0, volume: 0 }
    ],
    applyList: []
};

function runStep(task) {
    host.setStringParameter("task", task);
    host.executePlugin();
}

// "Browse..." beside either project field: the plug-in opens the host's file dialog,
// reads the chosen project and reports its number of volumes and the volume to show.
function selectProject(index) {
    runStep("select_fmr_or_dmr");
    var file = host.getStringParameter("filename");
    if (file === "") {
        return;
    }
    var project = VARNO.projects[index];
    project.file = file;
    project.volumes = host.getIntParameter("nr_of_volumes");
    project.volume = host.getIntParameter("display_volume") - 1;
    dialog["file" + index].text = file;
    dialog["volume" + index].maximum = project.volumes;
    dialog["volume" + index].value = project.volume + 1;
}

// "Browse..." beside the VDM field of the apply page.
function selectVdm() {
    runStep("select_vdm");
    var file = host.getStringParameter("filename");
    if (file !== "") {
        dialog.vdm.text = file;
    }
}

function storeEstimateSettings() {
    host.setStringParameter("file0", VARNO.projects[0].file);
    host.setStringParameter("file1", VARNO.projects[1].file);
    // The spin boxes count volumes from 1; the plug-in counts from 0.
    host.setIntParameter("volume0", dialog.volume0.value - 1);
    host.setIntParameter("volume1", dialog.volume1.value - 1);
    host.setIntParameter("rllr", dialog.directionLeftRight.checked ? 1 : 0);
    host.setIntParameter("use_ssd", dialog.measureSsd.checked ? 1 : 0);
    host.setIntParameter("use_ic", dialog.intensityModulation.checked ? 1 : 0);
    host.setIntParameter("fast_algorithm", dialog.fastAlgorithm.checked ? 1 : 0);
    host.setIntParameter("order", dialog.smoothingOrder.currentIndex);
    host.setIntParameter("apply_to_input", dialog.applyToInput.checked ? 1 : 0);
    host.setIntParameter("save_derivative", dialog.saveDerivative.checked ? 1 : 0);
    // The physically modelled estimate, checked against the full estimate; it supersedes
    // the fast algorithm.
    host.setIntParameter("precise", dialog.preciseEstimate.checked ? 1 : 0);
    // Undistorted copies multiplied by the Jacobian of their map (here and on the apply page).
    host.setIntParameter("intensity_correction", dialog.intensityCorrection.checked ? 1 : 0);
}

// The fast algorithm has no meaning for the precise estimate.
function preciseToggled() {
    dialog.fastAlgorithm.enabled = !dialog.preciseEstimate.checked;
}

// "Estimate VDM": estimates the map from the two projects, saves <project>_vdm.map
// beside each (and <project>_vdmderiv.map on request), optionally writes the
// "_undist" copies, and fills the VDM field of the apply page with the first map.
function estimate() {
    if (VARNO.projects[0].file === "" || VARNO.projects[1].file === "") {
        dialog.status.text = "Please select both projects first.";
        return;
    }
    storeEstimateSettings();
    host.setStringParameter("estimate_method", "");
    runStep("estimate");
    var vdm = host.getStringParameter("vdm");
    if (vdm !== "") {
        dialog.vdm.text = vdm;
    }
    // A precise run says which map it saved: its own, or the standard one when the pair
    // failed its check (gradient-echo pairs).
    var method = host.getStringParameter("estimate_method");
    if (method === "precise") {
        dialog.status.text = "Map saved from the precise estimate.";
    } else if (method === "standard") {
        dialog.status.text = "Map saved from the standard estimate: the pair failed the precise estimate's check.";
    }
}

// "Add..." on the apply page: one more project to undistort.
function addToApplyList() {
    runStep("select_fmr_or_dmr");
    var file = host.getStringParameter("filename");
    if (file !== "") {
        VARNO.applyList.push(file);
        dialog.applyList.addItem(file);
    }
}

// "Check": every entry must be an FMR or DMR project that can be opened.
function checkApplyList() {
    host.setStringParameter("files", VARNO.applyList.join("\n"));
    runStep("check");
}

// "Apply VDM": writes an "_undist" copy of every listed project. Left-right maps are
// applied with the same direction switch as they were estimated with.
function apply() {
    host.setStringParameter("vdm", dialog.vdm.text);
    host.setStringParameter("files", VARNO.applyList.join("\n"));
    host.setIntParameter("rllr", dialog.directionLeftRight.checked ? 1 : 0);
    host.setIntParameter("intensity_correction", dialog.intensityCorrection.checked ? 1 : 0);
    runStep("apply");
}

dialog.browse0.clicked.connect(function () { selectProject(0); });
dialog.browse1.clicked.connect(function () { selectProject(1); });
dialog.browseVdm.clicked.connect(selectVdm);
dialog.estimateButton.clicked.connect(estimate);
dialog.addButton.clicked.connect(addToApplyList);
dialog.checkButton.clicked.connect(checkApplyList);
dialog.applyButton.clicked.connect(apply);
dialog.preciseEstimate.toggled.connect(preciseToggled);
