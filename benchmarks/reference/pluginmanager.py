"""Module:
    mirvak.core.pluginmanager

Description:
    This module provides
    1. Methods for identifying and loading plugin implementations
    2. Methods for validating and accessing platform implementation
"""
import os
import pkgutil
import importlib
from mirvak import log
from mirvak.plugins import supported_chassis, supported_os
from inspect import getfile
from mirvak.core.errors import ConnectionInfraError
from importlib.metadata import entry_points

ENTRYPOINT_GROUP = 'mirvak.plugins'



def _level_path(os, platform, model, os_flavor):
    """The identifiers that lead to a node: [os, platform, model], [os, platform]
    or [os], then the flavour; the key "data" is the node's own chassis mapping."""
    if model is not None:
        path = [os, platform, model]
    elif platform is not None:
        path = [os, platform]
    else:
        path = [os]
    if os_flavor is not None:
        path.append(os_flavor)
    for member in path:
        # For a str the text itself decides, not an overridden __eq__; an object that only
        # claims to be a str (through __class__) has no text: its own equality decides.
        if type(member) is str:
            if member == "data":
                raise ConnectionInfraError("Plugin identifier 'data' is reserved")
        elif isinstance(member, str) and (
                str.__eq__(member, "data") if issubclass(type(member), str)
                else member == "data"):
            raise ConnectionInfraError("Plugin identifier 'data' is reserved")
    return path


class PluginManager(object):
    """
        Loads all plugin implementation,
        provides API's for accessing plugins
    """
    # Same class text as the compiled module, so repr() output can be compared.
    __module__ = 'mirvak.core.pluginmanager'

    def __init__(self):
        """
            Initialize
        """
        self._plugins = {}
        self.chassis_type_list = supported_chassis
        self.supported_os = supported_os

    @property
    def plugins(self):
        """ Plugin list getter
        """
        return self._plugins

    @plugins.setter
    def plugins(self, value):
        """ Plugin list getter
        """
        raise Exception(" Protected Member, cannot modify Plugins")

    def validate_model(self, os, platform, model):
        """
         Validates Model
        """
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
        raise ConnectionInfraError(
            " Model (%s) has to be in lowecase" % (model,))

    def validate_platform(self, os, platform):
        """
         Validates platform
        """
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
            "platform (%s) has to be in lowercase" % (platform,))

    def validate_os(self, os):
        """
         Validates OS
        """
        if os:
            if os not in self.supported_os:
                log.debug(
                    "%s is not part of the built-in list of supported OSes."
                    % (os,))
            return None
        raise ConnectionInfraError(
            "OS should be one of these " + str(self.supported_os)
            + " , but got " + str(os))

    def validate_chassis_type(self, chassis_type):
        """
         Validate chassis
        """
        if chassis_type and chassis_type in self.chassis_type_list:
            return None
        raise ConnectionInfraError(
            "chassis Type should be one of these "
            + str(self.chassis_type_list) + ", but got " + str(chassis_type))

    def validate_arguments(self, os, platform, model, chassis_type):
        """ Validates the input arguments provided
        """
        self.validate_model(os=os, platform=platform, model=model)
        self.validate_platform(platform=platform, os=os)
        self.validate_os(os=os)
        if os == "linux":
            return None
        self.validate_chassis_type(chassis_type=chassis_type)

    def get_plugin(self, os=None, platform=None, model=None, os_flavor=None,
                   chassis_type='single_rp'):
        """
            This method returns the connection class based on the
            input details provided
        """
        self.validate_arguments(os, platform, model, chassis_type)
        from_path = _level_path(os, platform, model, os_flavor)

        root = self._plugins
        for path in from_path:
            if path in root.keys():
                root = root[path]
        if ("data" not in root.keys()
                or chassis_type not in root["data"].keys()):
            raise ConnectionInfraError(
                "Plugin data not found for ("
                + "/".join([str(p) for p in from_path])
                + "), type: " + str(chassis_type) + " ")
        return root["data"][chassis_type]["cls"]

    def unregister_plugin(self, os=None, platform=None, model=None,
                          os_flavor=None, chassis_type=None):
        """
            This method unregister a particular implementations from
            the internal database
        """
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
                    "Plugin data not found for %s" % (chassis_type,))
            del data[chassis_type]

    def register_plugin(self, cls, os=None, platform=None, model=None,
                        os_flavor=None, chassis_type='single_rp'):
        """
            This method registers all the implementation plugin(i.e connection class)
            to the mirvak plugin manager

            It takes OS, platform, MODEL information and based on that
            registers it

            cls refer to the connection class
            chassis_type indicates if the connection class is for single_rp or
            dual_rp or stack(default single_rp)

        """
        self.validate_arguments(os, platform, model, chassis_type)
        tree_hierarchy = _level_path(os, platform, model, os_flavor)
        # Everything that can fail runs before the first node is created,
        # so a failed registration leaves the tree as it was.
        hash((*tree_hierarchy, chassis_type))
        class_path = getfile(cls)

        cur_node = self._plugins
        for node in tree_hierarchy:
            if node not in cur_node.keys():
                cur_node[node] = {}
            cur_node = cur_node[node]
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

    @staticmethod
    def discover_builtin_plugins():
        """loads all plugins"""
        try:
            from mirvak.plugins import __path__ as plugins_path, \
                __name__ as mirvak_name
        except ImportError:
            from mirvak.plugins import __file__ as mirvak_init, \
                __name__ as mirvak_name
            plugins_path = [os.path.dirname(mirvak_init)]
        for _finder, name, _ispkg in pkgutil.walk_packages(
                plugins_path, mirvak_name + "."):
            if ".plugins." not in name:
                continue
            if ".tests." in name:
                continue
            if name.endswith("tests"):
                continue
            importlib.import_module(name)

    @staticmethod
    def discover_external_plugins():
        """
        discover external plugins defined that users pip installed.
        """
        try:
            eps = entry_points(group=ENTRYPOINT_GROUP)
        except TypeError:
            eps = entry_points().get(ENTRYPOINT_GROUP, [])
        for plugin in eps:
            log.debug("Loading external plugin " + str(plugin.name)
                      + " from " + str(plugin.module))
            plugin.load()

    def print_tree(self, data, output='plugin'):
        """ This Method print the plugin list in tree structure

        Sample Tree Structure::
            plugin
              |__ linux
                |__ data
                  |__ dual_rp
                  |  |__ cls = <class 'mirvak.plugins.generic.GenericDualConnection'>
                  |  |__ path = /opt/mirvak/plugins/generic/__init__.py
                  |__ single_rp
                    |__ cls = <class 'mirvak.plugins.generic.GenericConnection'>
                    |__ path = /opt/mirvak/plugins/generic/__init__.py

        """
        if not data:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        sorted_keys = list(data.keys())
        try:
            sorted_keys = sorted(sorted_keys)
        except TypeError:
            # Keys of mixed types: order the same keys by their text instead.
            sorted_keys.sort(key=str)
        last_key = sorted_keys[-1]
        for key in sorted_keys:
            if isinstance(key, str):
                temp_output = self.print_tree(data=data[key], output="__ " + key)
            else:
                temp_output = self.print_tree(data=data[key],
                                              output="__ " + str(key))
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

    def __repr__(self):
        output = ("plugins (" + str(self.__class__) + " at "
                  + str(hex(id(self))) + ") ")
        return self.print_tree(data=self._plugins, output=output)
