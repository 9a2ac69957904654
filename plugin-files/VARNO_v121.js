// Dialog script of the VARNO plug-in. The host runs it; it stores the user's choices in
// the plug-in's dialog parameters, names the step in "task" and asks the plug-in to run
// it. This first version offers the steps as plain functions; the full dialog layout
// follows with the workflow.

var varno = {
    run: function (task) {
        Mindaro.setStringParameter("task", task);
        Mindaro.executePlugin();
    },
    selectProject: function () {
        varno.run("select_fmr_or_dmr");
        return Mindaro.getStringParameter("filename");
    },
    selectVdm: function () {
        varno.run("select_vdm");
        return Mindaro.getStringParameter("filename");
    },
    check: function (files) {
        Mindaro.setStringParameter("files", files.join("\n"));
        varno.run("check");
    }
};
