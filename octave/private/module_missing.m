function module_missing (caller, what)
%MODULE_MISSING  Raise the error of a toolbox function that needs the compiled module.
%   MODULE_MISSING (CALLER) raises TILEVISTA:moduleMissing: TILEVISTA_Mex
%   (and, in Octave, tilevista_pursuit and tilevista_dictionary, which live
%   in the same function file) is not on the path. CALLER names the public
%   function in the message.
%   MODULE_MISSING (CALLER, 'descriptions') raises it for a dictionary
%   description, which only the Octave function file TILEVISTA_Mex.oct
%   builds (tilevista_dictionary): under MATLAB, matrices are the way.

  if nargin > 1 && strcmp (what, 'descriptions')
    text = ['%s: description strings are built by tilevista_dictionary, a function of the ' ...
            'Octave function file TILEVISTA_Mex.oct, which is not on the path; under MATLAB ' ...
            'give matrices (tilevista_cosine_dictionary, tilevista_combine_dictionaries)'];
  else
    text = ['%s: the compiled module TILEVISTA_Mex is not on the path: in Octave install and ' ...
            'load the package (pkg install tilevista-<version>.tar.gz, made by make package, ' ...
            'then pkg load tilevista); or build it with tilevista_build and put its folder ' ...
            '(build/octave, build/matlab) on the path before octave/'];
  end
  error ('TILEVISTA:moduleMissing', text, caller);
end
