"""The pure-Python reference registry without its mended checks.

A yardstick for what those checks cost: the same class as
``pluginmanager.py`` (imported from the directory beside this file), with
only the methods overridden whose statements differ when the checks are
left out:

- the level path does not refuse the identifier "data";
- registration does not hash the path members and the chassis type before
  it walks the tree, and asks ``getfile`` after the walk;
- the not-found message joins the path members as they are, without
  ``str()`` of each;
- ``%`` messages take the value itself as their right operand, not a
  one-item tuple;
- drawing concatenates keys as they are and sorts them without the
  ``key=str`` fall-back for keys that cannot be ordered.

Everything else, and every result for ordinary identifiers, is the
reference's.  Not for use: the faults these checks mend are back.
"""
from inspect import getfile

import pluginmanager as reference
from mirvak import log
from mirvak.core.errors import ConnectionInfraError


def _level_path(os, platform, model, os_flavor):
    """The identifiers that lead to a node, without the reserved-key check."""
    if model is not None:
        path = [os, platform, model]
    elif platform is not None:
        path = [os, platform]
    else:
        path = [os]
    if os_flavor is not None:
        path.append(os_flavor)
    return path


class PluginManager(reference.PluginManager):
    """The reference class with the mended checks left out."""

    # The reference's class text, so repr() labels are as long as its own.
    __module__ = reference.PluginManager.__module__
    __qualname__ = reference.PluginManager.__qualname__

    def validate_model(self, os, platform, model):
        if not model:
            return None
        if not platform or not os:
            raise ConnectionInfraError(
                "OS and platform are required for Model: " + str(model))
        if not isinstance(model, str):
            raise ConnectionInfraError("Model should be of type str")
        if model.islower():
            return None
        if model.isdigit():
            return None
        raise ConnectionInfraError(" Model (%s) has to be in lowecase" % model)

    def validate_platform(self, os, platform):
        if not platform:
            return None
        if os is None:
            raise ConnectionInfraError(
                "OS information not provided for platform: " + str(platform))
        if not isinstance(platform, str):
            raise ConnectionInfraError("platform should be of type str")
        if platform.islower():
            return None
        if platform.isdigit():
            return None
        raise ConnectionInfraError(
            "platform (%s) has to be in lowercase" % platform)

    def validate_os(self, os):
        if os:
            if os not in self.supported_os:
                log.debug("%s is not part of the built-in list of supported OSes."
                          % os)
            return None
        raise ConnectionInfraError(
            "OS should be one of these " + str(self.supported_os)
            + " , but got " + str(os))

    def get_plugin(self, os=None, platform=None, model=None, os_flavor=None,
                   chassis_type='single_rp'):
        self.validate_arguments(os, platform, model, chassis_type)
        from_path = _level_path(os, platform, model, os_flavor)

        root = self._plugins
        for path in from_path:
            if path in root.keys():
                root = root[path]
        if ("data" not in root.keys()
                or chassis_type not in root["data"].keys()):
            raise ConnectionInfraError(
                "Plugin data not found for (" + "/".join(from_path)
                + "), type: " + str(chassis_type) + " ")
        return root["data"][chassis_type]["cls"]

    def unregister_plugin(self, os=None, platform=None, model=None,
                          os_flavor=None, chassis_type=None):
        self.validate_arguments(os, platform, model, "single_rp")
        tree_hierarchy = _level_path(os, platform, model, os_flavor)

        cur_node = self._plugins
        for node in tree_hierarchy:
            if node not in cur_node.keys():
                raise ConnectionInfraError("Plugin data not found")
            cur_node = cur_node[node]
        if chassis_type is None:
            if "data" not in cur_node.keys():
                raise ConnectionInfraError("Plugin data not found")
            del cur_node["data"]
        else:
            if "data" not in cur_node.keys():
                raise ConnectionInfraError("Plugin data not found")
            data = cur_node["data"]
            if chassis_type not in data.keys():
                raise ConnectionInfraError(
                    "Plugin data not found for %s" % chassis_type)
            del data[chassis_type]

    def register_plugin(self, cls, os=None, platform=None, model=None,
                        os_flavor=None, chassis_type='single_rp'):
        self.validate_arguments(os, platform, model, chassis_type)
        tree_hierarchy = _level_path(os, platform, model, os_flavor)

        cur_node = self._plugins
        for node in tree_hierarchy:
            if node not in cur_node.keys():
                cur_node[node] = {}
            cur_node = cur_node[node]
        class_path = getfile(cls)
        if "data" in cur_node.keys():
            data = cur_node["data"]
            if chassis_type in data.keys():
                existing_cls = data[chassis_type]["cls"]
                log.debug(
                    " {} already registered for {}, {} from {} is overriding "
                    "this class".format(existing_cls.__name__, tree_hierarchy,
                                        cls.__name__, cls.__module__))
            data[chassis_type] = {"cls": cls, "path": class_path}
            cur_node["data"] = data
        else:
            cur_node["data"] = {chassis_type: {"cls": cls, "path": class_path}}

    def print_tree(self, data, output='plugin'):
        if not data:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        sorted_keys = sorted(data.keys())
        last_key = sorted_keys[-1]
        for key in sorted_keys:
            temp_output = self.print_tree(data=data[key], output="__ " + key)
            separator = "  " if key == last_key else "  |"
            current_line = 1
            for line in temp_output.split("\n"):
                if current_line == 1 and key == last_key:
                    line = "\n  |" + line
                else:
                    line = "\n" + separator + line
                current_line += 1
                output += line
        return output
